// Counts a host's screen grabs for the benches, from outside: preloaded into veltra-host
// (LD_PRELOAD), it adds one to a 64-bit counter in the file named by VELTRA_GRAB_COUNTER (8 bytes,
// made by the bench) for every MIT-SHM image request, then makes the request. The host itself
// reports nothing but its status lines.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

typedef xcb_shm_get_image_cookie_t (*GetImage)(xcb_connection_t*, xcb_drawable_t, int16_t, int16_t,
                                               uint16_t, uint16_t, uint32_t, uint8_t, xcb_shm_seg_t,
                                               uint32_t);

static _Atomic uint64_t* counter(void) {
  static _Atomic uint64_t* mapped;
  static _Atomic uint64_t nowhere;  // no file named: count into nothing
  if (!mapped) {
    const char* path = getenv("VELTRA_GRAB_COUNTER");
    const int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    void* memory =
        fd >= 0 ? mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : NULL;
    if (fd >= 0) close(fd);
    mapped = memory && memory != MAP_FAILED ? memory : &nowhere;
  }
  return mapped;
}

xcb_shm_get_image_cookie_t xcb_shm_get_image(xcb_connection_t* c, xcb_drawable_t drawable,
                                             int16_t x, int16_t y, uint16_t width, uint16_t height,
                                             uint32_t planes, uint8_t format, xcb_shm_seg_t segment,
                                             uint32_t offset) {
  static GetImage next;
  if (!next) next = (GetImage)dlsym(RTLD_NEXT, "xcb_shm_get_image");
  atomic_fetch_add(counter(), 1);
  return next(c, drawable, x, y, width, height, planes, format, segment, offset);
}
