#include "display_probe.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
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
// Longest wait for the answer to a handshake: a server that takes a
// connection and says nothing must not hold the program up.
constexpr int kAnswerTimeoutMs = 3000;
// More than any answer the handshakes wait for.
constexpr std::size_t kMostAnswerBytes = 4096;
// An Xauthority file larger than this is not read.
constexpr std::size_t kMostAuthorityBytes = 1 << 20;

// Address families of Xauthority entries and of the X protocol.
constexpr unsigned kFamilyInternet = 0;
constexpr unsigned kFamilyInternet6 = 6;
constexpr unsigned kFamilyLocal = 256;
constexpr unsigned kFamilyWild = 65535;
const char* const kCookieName = "MIT-MAGIC-COOKIE-1";

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

// A connected socket, closed when it goes; fd < 0 when none.
struct Connection {
    int fd = -1;
    Connection() = default;
    explicit Connection(int socketFd) : fd(socketFd) {}
    Connection(Connection&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Connection& operator=(Connection&&) = delete;
    ~Connection()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Connects a fresh non-blocking socket to address, waiting at most
// kConnectTimeoutMs.
Connection connectTo(int family, int type, const sockaddr* address,
                     socklen_t length)
{
    Connection c(socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (c.fd < 0 || connect(c.fd, address, length) == 0)
        return c;
    pollfd waiting = {c.fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (errno == EINPROGRESS && poll(&waiting, 1, kConnectTimeoutMs) == 1 &&
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
        error == 0)
        return c;
    return Connection();
}

// Connects to a Unix socket by path; with `abstract`, to the socket of that
// name in Linux's abstract namespace.
Connection connectToUnixSocket(const std::string& path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path)
        return Connection();
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                               path.size() + (abstract ? 0 : 1));
    return connectTo(AF_UNIX, SOCK_STREAM,
                     reinterpret_cast<const sockaddr*>(&address), length);
}

enum class Verdict { Wait, Yes, No };

// Sends request and reads the answer until judge, given all that arrived,
// decides; a hang-up, an error or kAnswerTimeoutMs without a decision is a
// no.
template <class Judge>
bool handshake(const Connection& c, const std::string& request, Judge judge)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    const auto waitFor = [&](short events) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        pollfd waiting = {c.fd, events, 0};
        return left.count() > 0 &&
               poll(&waiting, 1, static_cast<int>(left.count())) == 1;
    };
    std::size_t sent = 0;
    while (sent < request.size()) {
        if (!waitFor(POLLOUT))
            return false;
        const ssize_t n = send(c.fd, request.data() + sent,
                               request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[512];
    while (answer.size() < kMostAnswerBytes && waitFor(POLLIN)) {
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n < 0)
            continue;
        answer.append(buffer, static_cast<std::size_t>(n));
        const Verdict verdict = judge(answer);
        if (verdict != Verdict::Wait)
            return verdict == Verdict::Yes;
    }
    return false;
}

// ---- X ---------------------------------------------------------------------

std::string littleEndian16(std::size_t value)
{
    return {static_cast<char>(value & 0xff),
            static_cast<char>(value >> 8 & 0xff)};
}

std::string padded(const std::string& bytes)
{
    return bytes + std::string((4 - bytes.size() % 4) % 4, '\0');
}

// The cookie of the first MIT-MAGIC-COOKIE-1 entry of the Xauthority file
// that serves this address (an entry for any address serves them all) and
// display number (an entry without one serves every display); "" when
// there is none. Each entry is a big-endian family and four strings, each
// after its big-endian length: address, number, name and data.
std::string findCookie(const std::string& file, unsigned family,
                       const std::string& address, const std::string& number)
{
    std::ifstream in(file, std::ios::binary);
    std::string bytes;
    bytes.resize(kMostAuthorityBytes);
    in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t at = 0;
    const auto number16 = [&]() -> long {
        if (at + 2 > bytes.size())
            return -1;
        at += 2;
        return static_cast<unsigned char>(bytes[at - 2]) << 8 |
               static_cast<unsigned char>(bytes[at - 1]);
    };
    for (;;) {
        const long entryFamily = number16();
        std::string fields[4];
        for (std::string& field : fields) {
            const long length = number16();
            if (length < 0 ||
                at + static_cast<std::size_t>(length) > bytes.size())
                return "";
            field = bytes.substr(at, static_cast<std::size_t>(length));
            at += static_cast<std::size_t>(length);
        }
        const bool addressFits =
            entryFamily == kFamilyWild ||
            (static_cast<unsigned>(entryFamily) == family &&
             fields[0] == address);
        if (addressFits && (fields[1].empty() || fields[1] == number) &&
            fields[2] == kCookieName)
            return fields[3];
    }
}

// The family and address under which Xauthority files list the server at
// the other end of c: a local socket or the loopback address by this
// machine's name, any other by its IP address.
void peerAddress(const Connection& c, unsigned& family, std::string& address)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    family = kFamilyLocal;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    address = host;
    if (getpeername(c.fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return;
    if (peer.ss_family == AF_INET6) {
        const in6_addr& ip = reinterpret_cast<sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&ip)) {
            if (ip.s6_addr[12] != 127) {
                family = kFamilyInternet;
                address.assign(reinterpret_cast<const char*>(ip.s6_addr) + 12,
                               4);
            }
        } else if (!IN6_IS_ADDR_LOOPBACK(&ip)) {
            family = kFamilyInternet6;
            address.assign(reinterpret_cast<const char*>(ip.s6_addr), 16);
        }
    } else if (peer.ss_family == AF_INET) {
        const in_addr& ip = reinterpret_cast<sockaddr_in&>(peer).sin_addr;
        const auto* octets = reinterpret_cast<const unsigned char*>(&ip);
        if (octets[0] != 127) {
            family = kFamilyInternet;
            address.assign(reinterpret_cast<const char*>(octets), 4);
        }
    }
}

// The X connection setup, least significant byte first, with the cookie
// the authority file holds for this server; true when the server accepts
// it (status 1, protocol version 11).
bool xServerAccepts(const Connection& c, const std::string& number,
                    const std::string& authorityFile)
{
    if (c.fd < 0)
        return false;
    unsigned family = kFamilyLocal;
    std::string address;
    peerAddress(c, family, address);
    const std::string cookie =
        authorityFile.empty()
            ? std::string()
            : findCookie(authorityFile, family, address, number);
    const std::string name = cookie.empty() ? "" : kCookieName;
    const std::string request =
        std::string("l\0", 2) + littleEndian16(11) + littleEndian16(0) +
        littleEndian16(name.size()) + littleEndian16(cookie.size()) +
        std::string(2, '\0') + padded(name) + padded(cookie);
    return handshake(c, request, [](const std::string& answer) {
        if (answer[0] != 1)
            return Verdict::No;
        if (answer.size() < 8)
            return Verdict::Wait;
        return answer[2] == 11 && answer[3] == 0 ? Verdict::Yes : Verdict::No;
    });
}

// DISPLAY is [host]:number[.screen]: no host (or "unix") means the local
// socket, a host starting with '/' is the path of a socket, any other host
// is reached over TCP. The first address that takes the connection decides.
bool x11Usable(const std::string& display, const std::string& authorityFile)
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
        return xServerAccepts(connectToUnixSocket(display, false), number,
                              authorityFile);
    if (host.empty() || host == "unix") {
        const std::string path = kX11SocketPrefix + number;
        const Connection abstract = connectToUnixSocket(path, true);
        if (abstract.fd >= 0)
            return xServerAccepts(abstract, number, authorityFile);
        return xServerAccepts(connectToUnixSocket(path, false), number,
                              authorityFile);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(kX11BasePort + std::stoi(number));
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        return false;
    bool usable = false;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const Connection c =
            connectTo(a->ai_family, a->ai_socktype, a->ai_addr, a->ai_addrlen);
        if (c.fd >= 0) {
            usable = xServerAccepts(c, number, authorityFile);
            break;
        }
    }
    freeaddrinfo(found);
    return usable;
}

// ---- Wayland ---------------------------------------------------------------

// A Wayland message: the object, then the size in bytes (upper half) and
// the opcode (lower half), in the machine's byte order, then the arguments.
std::string waylandWords(std::initializer_list<std::uint32_t> words)
{
    std::string bytes;
    for (std::uint32_t word : words)
        bytes.append(reinterpret_cast<const char*>(&word), sizeof word);
    return bytes;
}

// Asks the display (object 1) for a sync callback as object 2 and waits
// for its done event; an error event or bytes that are no Wayland messages
// are a no.
bool waylandAnswers(const Connection& c)
{
    if (c.fd < 0)
        return false;
    constexpr std::uint32_t kDisplay = 1, kCallback = 2, kSyncSize = 12;
    return handshake(
        c, waylandWords({kDisplay, kSyncSize << 16, kCallback}),
        [](const std::string& answer) {
            std::size_t at = 0;
            while (at + 8 <= answer.size()) {
                std::uint32_t header[2];
                std::memcpy(header, answer.data() + at, sizeof header);
                const std::uint32_t size = header[1] >> 16;
                const std::uint32_t opcode = header[1] & 0xffff;
                if (size < 8 || size % 4 != 0 || size > kMostAnswerBytes)
                    return Verdict::No;
                if (opcode == 0 &&
                    (header[0] == kCallback || header[0] == kDisplay))
                    return header[0] == kCallback ? Verdict::Yes : Verdict::No;
                at += size;
            }
            return Verdict::Wait;
        });
}

bool waylandUsable(const std::string& name, const char* runtimeDir)
{
    if (name[0] == '/')
        return waylandAnswers(connectToUnixSocket(name, false));
    if (runtimeDir == nullptr || *runtimeDir == '\0')
        return false;
    return waylandAnswers(
        connectToUnixSocket(std::string(runtimeDir) + "/" + name, false));
}

} // namespace

ReachableDisplay probeDisplay(const char* display, const char* waylandDisplay,
                              const char* runtimeDir, const char* authorityFile)
{
    if (display != nullptr && *display != '\0' &&
        x11Usable(display, authorityFile ? authorityFile : ""))
        return ReachableDisplay::X11;
    if (waylandDisplay != nullptr && *waylandDisplay != '\0' &&
        waylandUsable(waylandDisplay, runtimeDir))
        return ReachableDisplay::Wayland;
    return ReachableDisplay::None;
}

std::string xAuthorityFile(const char* xauthority, const char* home)
{
    if (xauthority != nullptr)
        return xauthority;
    if (home != nullptr && *home != '\0')
        return std::string(home) + "/.Xauthority";
    return "";
}

} // namespace ulk::viewer
