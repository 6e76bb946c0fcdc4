// What the sanitizers leave out in the test programs that run Qt, built into each of them so it
// holds however they are run: libraries outside this repository only, never our code.
//
// Qt and GLib are not built with ThreadSanitizer and synchronise their own threads (icon, font
// and file-dialog pools, D-Bus, the xcb event reader) with futexes and atomics it cannot see.
// called_from_lib hides what those libraries do themselves; for the xcb plugin only races with
// its frames, as its descriptor closes must stay visible. Our tasks cross threads under a mutex
// of our own (QtMainQueue), so what our code does stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so\ncalled_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\nrace:libQt6XcbQpa.so\n"
         "called_from_lib:libQt6DBus.so\ncalled_from_lib:libglib-2.0.so\n";
}

// libdbus keeps the session bus connection's buffer (accessibility, platform theme) to the end.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
