// What the sanitizers leave out in the test programs that run Qt: libraries outside this
// repository only, never our own code. Built into each such program (the sanitizers ask for
// these at start-up), so they hold however the tests are run.

// ThreadSanitizer. Qt (and GLib under its event dispatcher) is not built with ThreadSanitizer
// and synchronises its own threads (the pooled threads that load icons and fonts and fill the
// file dialog, the D-Bus connection thread) with futexes and atomics that ThreadSanitizer cannot
// see (the xcb plugin's event reader hands each X event to the GUI thread, which frees it), so
// their memory operations, file descriptors and copies are reported as races between
// Qt's own threads. called_from_lib ignores what these libraries do themselves (for the xcb
// plugin only races with its frames, as its descriptor closes must stay visible); what our code
// does, on its own threads and on the GUI thread, is still checked. (The Qt main queue hands
// tasks between threads through a mutex of ours for this reason.)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so\n"
         "called_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\n"
         "race:libQt6XcbQpa.so\n"
         "called_from_lib:libQt6DBus.so\n"
         "called_from_lib:libglib-2.0.so\n";
}

// LeakSanitizer. Qt's xcb platform talks to the session bus through libdbus (accessibility
// bridge, platform theme); libdbus keeps a connection buffer for the life of the process and
// never frees it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
