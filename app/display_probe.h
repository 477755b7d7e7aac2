// Finds out, before the window library starts, whether the display that
// the environment names is there: a display that is named but gone (a
// closed ssh -X connection, say) would make the window library abort.
#ifndef OF_ULK_DISPLAY_PROBE_H
#define OF_ULK_DISPLAY_PROBE_H

namespace ulk::viewer {

enum class ReachableDisplay {
    None,    // no display named, or none of those named accepts a connection
    X11,     // the X server named by DISPLAY accepts a connection
    Wayland, // only the Wayland compositor accepts one
};

// Tries to connect to the X server named by `display` (the DISPLAY value:
// ":0", "unix:0.0", "localhost:10.0", "/path/to/socket:0") and then to the
// Wayland socket named by `waylandDisplay` (a name in `runtimeDir`, or an
// absolute path). Null or empty values name nothing. A connection is
// opened and closed at once; a TCP connection attempt is given up after a
// short wait.
ReachableDisplay probeDisplay(const char* display, const char* waylandDisplay,
                              const char* runtimeDir);

} // namespace ulk::viewer

#endif
