#include "display_probe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace ulk::viewer {

namespace {

// The X server of display N listens on TCP port kX11BasePort + N.
constexpr int kX11BasePort = 6000;
// Local X servers listen on this socket, suffixed with the display number.
const char* const kX11SocketPrefix = "/tmp/.X11-unix/X";
// Longest wait for a TCP connection: a display across the network either
// answers quickly or is not worth waiting for at start-up.
constexpr int kConnectTimeoutMs = 2000;

bool isDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Connects a fresh socket to address, waiting at most kConnectTimeoutMs.
bool connects(int family, int type, const sockaddr* address, socklen_t length)
{
    const int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool connected = connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd waiting = {fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        connected = poll(&waiting, 1, kConnectTimeoutMs) == 1 &&
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                    error == 0;
    }
    close(fd);
    return connected;
}

// Connects to a Unix socket by path; with `abstract`, to the socket of that
// name in Linux's abstract namespace.
bool connectsToUnixSocket(const std::string& path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                               path.size() + (abstract ? 0 : 1));
    return connects(AF_UNIX, SOCK_STREAM,
                    reinterpret_cast<const sockaddr*>(&address), length);
}

bool connectsOverTcp(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints,
                    &found) != 0)
        return false;
    bool connected = false;
    for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next)
        connected =
            connects(a->ai_family, a->ai_socktype, a->ai_addr, a->ai_addrlen);
    freeaddrinfo(found);
    return connected;
}

// DISPLAY is [host]:number[.screen]: no host (or "unix") means the local
// socket, a host starting with '/' is the path of a socket, any other host
// is reached over TCP.
bool x11Reachable(const std::string& display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = display.substr(0, colon);
    const std::string screen = display.substr(colon + 1);
    const std::string number = screen.substr(0, screen.find('.'));
    if (!isDigits(number) || number.size() > 5)
        return false;
    if (!host.empty() && host[0] == '/')
        return connectsToUnixSocket(display, false);
    if (host.empty() || host == "unix") {
        const std::string path = kX11SocketPrefix + number;
        return connectsToUnixSocket(path, true) ||
               connectsToUnixSocket(path, false);
    }
    return connectsOverTcp(host, kX11BasePort + std::stoi(number));
}

bool waylandReachable(const std::string& name, const char* runtimeDir)
{
    if (name[0] == '/')
        return connectsToUnixSocket(name, false);
    if (runtimeDir == nullptr || *runtimeDir == '\0')
        return false;
    return connectsToUnixSocket(std::string(runtimeDir) + "/" + name, false);
}

} // namespace

ReachableDisplay probeDisplay(const char* display, const char* waylandDisplay,
                              const char* runtimeDir)
{
    if (display != nullptr && *display != '\0' && x11Reachable(display))
        return ReachableDisplay::X11;
    if (waylandDisplay != nullptr && *waylandDisplay != '\0' &&
        waylandReachable(waylandDisplay, runtimeDir))
        return ReachableDisplay::Wayland;
    return ReachableDisplay::None;
}

} // namespace ulk::viewer
