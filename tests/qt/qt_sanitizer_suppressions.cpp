// What the sanitizers leave out in the test programs that run Qt, however they are run: only
// libraries outside this repository. Qt and GLib are not built with ThreadSanitizer and
// synchronise their own threads with futexes and atomics it cannot see; for the xcb plugin only
// races within its frames are hidden, so that its descriptor closes stay visible.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so\ncalled_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\nrace:libQt6XcbQpa.so\n"
         "called_from_lib:libQt6DBus.so\ncalled_from_lib:libglib-2.0.so\n";
}

// libdbus keeps the session bus connection's buffer (accessibility, platform theme) to the end.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
