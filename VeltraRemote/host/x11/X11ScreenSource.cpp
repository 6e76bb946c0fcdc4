#include "host/x11/X11ScreenSource.h"

#include <libyuv/convert_from_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/x11/X11Connection.h"

namespace veltra {
namespace {

// Whether the root's pixels arrive as 32-bit little-endian 0x00RRGGBB, which is libyuv's "ARGB"
// (B, G, R, X in memory).
bool rootIsBgrx(const x11::Connection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  const xcb_screen_t* screen = connection.screen();
  if (screen->root_depth != 24 && screen->root_depth != 32) return false;

  bool thirtyTwoBits = false;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == screen->root_depth) {
      thirtyTwoBits = formats.data->bits_per_pixel == 32;
    }
  }
  if (!thirtyTwoBits) return false;

  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      const xcb_visualtype_t* visual = visuals.data;
      if (visual->visual_id != screen->root_visual) continue;
      return visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR && visual->red_mask == 0xff0000 &&
             visual->green_mask == 0x00ff00 && visual->blue_mask == 0x0000ff;
    }
  }
  return false;
}

// Blends the cursor (premultiplied ARGB, as XFIXES gives it) over BGRX pixels, clipped to the
// screen.
void drawCursor(const xcb_xfixes_get_cursor_image_reply_t& cursor, uint8_t* pixels, int stride,
                int width, int height) {
  const int cursorWidth = cursor.width, cursorHeight = cursor.height;
  if (xcb_xfixes_get_cursor_image_cursor_image_length(&cursor) < cursorWidth * cursorHeight) {
    return;
  }
  const uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  const int left = cursor.x - cursor.xhot, top = cursor.y - cursor.yhot;
  const int firstRow = std::max(0, -top), lastRow = std::min(cursorHeight, height - top);
  const int firstColumn = std::max(0, -left), lastColumn = std::min(cursorWidth, width - left);
  for (int row = firstRow; row < lastRow; ++row) {
    const uint32_t* source = image + row * cursorWidth;
    auto* target = reinterpret_cast<uint32_t*>(pixels + (top + row) * stride) + left;
    for (int column = firstColumn; column < lastColumn; ++column) {
      const uint32_t over = source[column];
      const uint32_t alpha = over >> 24;
      if (alpha == 0) continue;
      if (alpha == 255) {
        target[column] = over;
        continue;
      }
      const uint32_t under = target[column];
      uint32_t blended = 0;
      for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t channel =
            ((over >> shift) & 0xff) + (((under >> shift) & 0xff) * (255 - alpha) + 127) / 255;
        blended |= std::min<uint32_t>(channel, 255) << shift;
      }
      target[column] = blended;
    }
  }
}

// The cursor for the client; nothing for one the cursor extension does not carry (larger than
// CursorImage::kMaximumSide). XFIXES's pixels are already premultiplied ARGB in 32-bit values,
// CursorImage's own form.
std::optional<CursorImage> cursorImageOf(const xcb_xfixes_get_cursor_image_reply_t& cursor) {
  CursorImage image{cursor.width, cursor.height, cursor.xhot, cursor.yhot, {}};
  const int count = image.width * image.height;
  if (xcb_xfixes_get_cursor_image_cursor_image_length(&cursor) < count) return std::nullopt;
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  image.pixels.assign(pixels, pixels + count);
  if (!image.isValid()) return std::nullopt;
  return image;
}

// Where the cursor image covers the screen (unclipped).
PictureRect cursorArea(const xcb_xfixes_get_cursor_image_reply_t& cursor) {
  return {cursor.x - cursor.xhot, cursor.y - cursor.yhot, cursor.width, cursor.height};
}

}  // namespace

// One open display. Releasing it disconnects, which frees everything the server holds for us
// (the damage object, the segment's attachment).
struct X11ScreenSource::Session {
  std::unique_ptr<x11::Connection> connection;
  int width = 0;
  int height = 0;
  int stride = 0;
  uint8_t damageEvent = 0;
  uint8_t cursorEvent = 0;
  xcb_damage_damage_t damage = XCB_NONE;
  // Receives the damage each grab takes out of `damage`.
  xcb_xfixes_region_t damaged = XCB_NONE;
  // The shared segment the server writes the root into; null without MIT-SHM.
  xcb_shm_seg_t segment = XCB_NONE;
  uint8_t* shared = nullptr;
  // The screen may differ from the last grab. Nothing grabbed yet, so it does.
  bool changed = true;
  // Drawn into the pictures, or left to the client: then the pointer's place and cursor further
  // down go unused.
  bool pointerDrawn = true;
  // With the pointer left out: the cursor may differ from the last image takeCursor() fetched.
  // None fetched yet, so it does.
  bool cursorDue = true;
  std::optional<uint32_t> fetchedSerial;
  // Where the pointer was drawn last, and which cursor image; no grab yet reports the whole
  // screen.
  int pointerX = -1;
  int pointerY = -1;
  PictureRect cursor;
  uint32_t cursorSerial = 0;
  bool grabbed = false;
  // A grab was refused although the connection lives (the root no longer has our size).
  bool failed = false;

  ~Session() {
    connection.reset();
    if (shared) shmdt(shared);
  }

  bool watch();
  void attachSegment();
};

bool X11ScreenSource::Session::watch() {
  xcb_connection_t* c = connection->get();
  xcb_prefetch_extension_data(c, &xcb_damage_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t* damageExtension = xcb_get_extension_data(c, &xcb_damage_id);
  const xcb_query_extension_reply_t* fixesExtension = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!damageExtension || !damageExtension->present || !fixesExtension ||
      !fixesExtension->present) {
    return false;
  }
  damageEvent = damageExtension->first_event;
  cursorEvent = fixesExtension->first_event;

  // Both extensions refuse clients that have not stated their version.
  auto damageVersion =
      xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION);
  auto fixesVersion =
      xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION);
  x11::Reply<xcb_damage_query_version_reply_t> damageReply(
      xcb_damage_query_version_reply(c, damageVersion, nullptr));
  x11::Reply<xcb_xfixes_query_version_reply_t> fixesReply(
      xcb_xfixes_query_version_reply(c, fixesVersion, nullptr));
  if (!damageReply || !fixesReply) return false;

  // Non-empty level: one event when the damaged area stops being empty, not one per drawing;
  // grab() empties it again. Damage to the root includes every window drawn over it.
  damage = xcb_generate_id(c);
  const xcb_window_t root = connection->root();
  xcb_void_cookie_t created =
      xcb_damage_create_checked(c, damage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  damaged = xcb_generate_id(c);
  xcb_void_cookie_t region = xcb_xfixes_create_region_checked(c, damaged, 0, nullptr);
  if (x11::Reply<xcb_generic_error_t> error{xcb_request_check(c, created)}) return false;
  if (x11::Reply<xcb_generic_error_t> error{xcb_request_check(c, region)}) return false;
  attachSegment();
  return !connection->broken();
}

// Without the segment every grab copies the screen through the socket, which works, only slower.
void X11ScreenSource::Session::attachSegment() {
  xcb_connection_t* c = connection->get();
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  if (!shm || !shm->present) return;
  const int id = shmget(IPC_PRIVATE, static_cast<size_t>(stride) * height, IPC_CREAT | 0600);
  if (id < 0) return;
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return;
  }
  segment = xcb_generate_id(c);
  x11::Reply<xcb_generic_error_t> error{
      xcb_request_check(c, xcb_shm_attach_checked(c, segment, id, false))};
  // Marked for removal once the server has attached: the segment then goes with the last of us,
  // however either side ends.
  shmctl(id, IPC_RMID, nullptr);
  if (error) {
    shmdt(address);
    segment = XCB_NONE;
    return;
  }
  shared = static_cast<uint8_t*>(address);
}

X11ScreenSource::X11ScreenSource() = default;
X11ScreenSource::~X11ScreenSource() = default;

bool X11ScreenSource::open(uint32_t displayID, int width, int height) {
  close();
  auto session = std::make_unique<Session>();
  session->connection = x11::Connection::open(displayID);
  if (!session->connection || session->connection->width() != width ||
      session->connection->height() != height || !rootIsBgrx(*session->connection)) {
    return false;
  }
  session->width = width;
  session->height = height;
  session->stride = width * 4;
  session->pointerDrawn = pointerDrawn_;
  if (!session->watch()) return false;
  session_ = std::move(session);
  return true;
}

void X11ScreenSource::setPointerDrawn(bool drawn) {
  pointerDrawn_ = drawn;
}

bool X11ScreenSource::poll() {
  if (!session_ || broken()) return false;
  Session& s = *session_;
  xcb_connection_t* c = s.connection->get();
  // Motion sends no event to a client that owns no window, so the pointer is asked for.
  if (s.pointerDrawn) {
    x11::Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, s.connection->root()), nullptr));
    if (!pointer) return false;
    if (pointer->root_x != s.pointerX || pointer->root_y != s.pointerY) s.changed = true;
  }

  while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == s.damageEvent + XCB_DAMAGE_NOTIFY) {
      s.changed = true;
    } else if (type == s.cursorEvent + XCB_XFIXES_CURSOR_NOTIFY) {
      const auto* notify = reinterpret_cast<const xcb_xfixes_cursor_notify_event_t*>(event.get());
      if (s.pointerDrawn) {
        s.changed = true;
      } else if (notify->cursor_serial != s.fetchedSerial) {
        s.cursorDue = true;
      }
    }
  }
  return s.changed;
}

std::optional<CursorImage> X11ScreenSource::takeCursor() {
  if (!session_ || broken() || session_->pointerDrawn || !session_->cursorDue) return std::nullopt;
  Session& s = *session_;
  xcb_connection_t* c = s.connection->get();
  x11::Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!cursor) return std::nullopt;
  s.cursorDue = false;
  // A cursor that changed back before we looked is the one the client has.
  if (cursor->cursor_serial == s.fetchedSerial) return std::nullopt;
  s.fetchedSerial = cursor->cursor_serial;
  return cursorImageOf(*cursor);
}

bool X11ScreenSource::grab(ScreenPicture& picture) {
  if (!session_ || broken()) return false;
  Session& s = *session_;
  if (picture.format() != PixelFormat::nv12 || picture.width() != s.width ||
      picture.height() != s.height) {
    return false;
  }
  xcb_connection_t* c = s.connection->get();
  const xcb_window_t root = s.connection->root();

  // Emptied (into our region) before the copy, so that drawing from here on damages it again
  // and is grabbed next time; drawing between the two shows now and once more, never not at
  // all. Requests are answered in order, so the four cost one round trip.
  xcb_damage_subtract(c, s.damage, XCB_NONE, s.damaged);
  const xcb_xfixes_fetch_region_cookie_t regionCookie = xcb_xfixes_fetch_region(c, s.damaged);
  s.changed = false;
  const auto width = static_cast<uint16_t>(s.width), height = static_cast<uint16_t>(s.height);
  xcb_shm_get_image_cookie_t sharedCookie{};
  xcb_get_image_cookie_t plainCookie{};
  if (s.shared) {
    sharedCookie = xcb_shm_get_image(c, root, 0, 0, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                     s.segment, 0);
  } else {
    plainCookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, width, height, ~0u);
  }
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  if (s.pointerDrawn) cursorCookie = xcb_xfixes_get_cursor_image(c);

  x11::Reply<xcb_xfixes_fetch_region_reply_t> region(
      xcb_xfixes_fetch_region_reply(c, regionCookie, nullptr));
  uint8_t* pixels = nullptr;
  x11::Reply<xcb_shm_get_image_reply_t> sharedImage;
  x11::Reply<xcb_get_image_reply_t> plainImage;
  if (s.shared) {
    sharedImage.reset(xcb_shm_get_image_reply(c, sharedCookie, nullptr));
    pixels = sharedImage ? s.shared : nullptr;
  } else {
    plainImage.reset(xcb_get_image_reply(c, plainCookie, nullptr));
    if (plainImage && xcb_get_image_data_length(plainImage.get()) >= s.stride * s.height) {
      pixels = xcb_get_image_data(plainImage.get());
    }
  }
  x11::Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
  if (s.pointerDrawn) cursor.reset(xcb_xfixes_get_cursor_image_reply(c, cursorCookie, nullptr));
  if (!pixels) {
    s.failed = true;
    return false;
  }

  std::vector<PictureRect> damage;
  if (!s.grabbed || !region) {
    damage.push_back({0, 0, s.width, s.height});
  } else {
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(region.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
    for (int index = 0; index < count; ++index) {
      const xcb_rectangle_t& r = rectangles[index];
      damage.push_back({r.x, r.y, r.width, r.height});
    }
  }
  // The cursor is drawn into the picture: where it was and where it is changed with it. Left
  // out, it is never drawn, so it changes nothing.
  const PictureRect drawn = cursor ? cursorArea(*cursor) : PictureRect{};
  const uint32_t serial = cursor ? cursor->cursor_serial : 0;
  if (s.pointerDrawn && s.grabbed && (drawn != s.cursor || serial != s.cursorSerial)) {
    damage.push_back(s.cursor);
    damage.push_back(drawn);
  }
  s.cursor = drawn;
  s.cursorSerial = serial;
  s.grabbed = true;

  if (cursor) {
    drawCursor(*cursor, pixels, s.stride, s.width, s.height);
    s.pointerX = cursor->x;
    s.pointerY = cursor->y;
  }
  const ScreenPicture::Plane& luma = picture.plane(0);
  const ScreenPicture::Plane& chroma = picture.plane(1);
  libyuv::ARGBToNV12(pixels, s.stride, luma.data, luma.stride, chroma.data, chroma.stride, s.width,
                     s.height);
  picture.setDamage(damage);
  return true;
}

bool X11ScreenSource::broken() const {
  return session_ && (session_->failed || session_->connection->broken());
}

int X11ScreenSource::eventDescriptor() const {
  if (!session_ || broken()) return -1;
  return xcb_get_file_descriptor(session_->connection->get());
}

void X11ScreenSource::close() {
  session_.reset();
}

}  // namespace veltra
