// Finds out, before the window library starts, whether the display that
// the environment names can be used: a display that is named but gone (a
// closed ssh -X connection, say) or that refuses this client (no cookie, a
// wrong one) would make the window library abort.
#ifndef OF_ULK_DISPLAY_PROBE_H
#define OF_ULK_DISPLAY_PROBE_H

#include <string>

namespace ulk::viewer {

enum class ReachableDisplay {
    None,    // no display named, or none of those named can be used
    X11,     // the X server named by DISPLAY accepts this client
    Wayland, // only the Wayland compositor answers
};

// Tries the X server named by `display` (the DISPLAY value: ":0",
// "unix:0.0", "localhost:10.0", "/path/to/socket:0") and then the Wayland
// socket named by `waylandDisplay` (a name in `runtimeDir`, or an absolute
// path). Null or empty values name nothing. A display counts when it
// completes the handshake of its protocol: the X connection setup with the
// MIT-MAGIC-COOKIE-1 cookie that `authorityFile` (an Xauthority file; null
// or empty for none) holds for the display, or a Wayland sync round trip.
// The connection is closed at once; a TCP connection attempt and the wait
// for an answer are each given up after a short time.
ReachableDisplay probeDisplay(const char* display, const char* waylandDisplay,
                              const char* runtimeDir,
                              const char* authorityFile = nullptr);

// The Xauthority file that X clients read: `xauthority` (the XAUTHORITY
// value) when set, else .Xauthority in `home`; "" when neither is.
std::string xAuthorityFile(const char* xauthority, const char* home);

} // namespace ulk::viewer

#endif
