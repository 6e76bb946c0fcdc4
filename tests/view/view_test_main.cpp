#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// The view draws with OpenGL, which needs a real X server: each run starts its own Xvfb and uses
// Mesa's software rasteriser on it, whatever display the caller has (CI has none).
namespace {

pid_t startXvfb(std::string& display) {
  int ends[2];
  if (::pipe(ends) != 0) return 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The server must not outlive a test that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::close(ends[0]);
    const std::string fd = std::to_string(ends[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[1]);
  char buffer[16] = {};
  ssize_t got = 0, size = 0;
  while (size < 15 && (got = ::read(ends[0], buffer + size, 15 - size)) > 0) {
    size += got;
    if (buffer[size - 1] == '\n') break;
  }
  ::close(ends[0]);
  if (pid < 0 || size <= 1) return pid > 0 ? -pid : 0;
  display = ":" + std::string(buffer, static_cast<size_t>(size - 1));
  return pid;
}

// Mesa unloads its software driver when the display closes, before LeakSanitizer looks; what the
// driver leaves allocated would then be reported against an unknown module, which no suppression
// can name. Kept loaded, it is reported as swrast_dri.so, which the suppressions below name.
void keepMesaDriverLoaded() {
  for (const char* directory : {"/usr/lib/x86_64-linux-gnu/dri", "/usr/lib/aarch64-linux-gnu/dri",
                                "/usr/lib64/dri", "/usr/lib/dri"}) {
    const std::string driver = std::string(directory) + "/swrast_dri.so";
    if (std::filesystem::exists(driver) && ::dlopen(driver.c_str(), RTLD_LAZY | RTLD_NODELETE)) {
      return;
    }
  }
}

}  // namespace

// LeakSanitizer reads these when it starts; only third-party code is named. Qt's accessibility
// bridge opens a D-Bus connection whose buffers libdbus keeps until the process ends (the blocks
// they point to come with them), and Mesa's software driver keeps a few small blocks to the end.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\nleak:swrast_dri.so\n";
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  std::string display;
  const pid_t xvfb = startXvfb(display);
  if (xvfb <= 0) {
    std::fprintf(stderr, "cannot start Xvfb (the set-up script installs it)\n");
    if (xvfb < 0) ::kill(-xvfb, SIGTERM);
    return 1;
  }
  setenv("DISPLAY", display.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
  keepMesaDriverLoaded();
  int result = 0;
  {
    QApplication application(argc, argv);
    result = RUN_ALL_TESTS();
  }
  ::kill(xvfb, SIGTERM);
  ::waitpid(xvfb, nullptr, 0);
  return result;
}
