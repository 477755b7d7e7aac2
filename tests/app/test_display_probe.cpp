// The display probe against servers made by the test: a display counts
// when a server where its name points completes the handshake of its
// protocol (with the cookie of the Xauthority file for X), and only then;
// and the program against a real X server that wants a cookie and a
// socket that is no Wayland compositor.
#include "display_probe.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace ulk::viewer;

namespace {

// How a test server answers a client's first request: as an X server or
// a Wayland compositor does (an X server that knows a cookie wants it),
// with a refusal (or bytes of no protocol), by hanging up, or not at all.
enum class Answer { Serve, Refuse, HangUp, Silent };

// A server listening for the duration of a test; fd() < 0 when it could
// not be made.
class Listener {
  public:
    // A Unix socket at path, or in the abstract namespace under that name.
    Listener(const std::string& path, bool abstract,
             Answer answer = Answer::Serve, std::string cookie = "")
        : answer_(answer), cookie_(std::move(cookie))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        if (!abstract)
            unlink(path.c_str()); // left by an earlier server
        listenOn(AF_UNIX, reinterpret_cast<sockaddr*>(&address),
                 offsetof(sockaddr_un, sun_path) + offset + path.size());
    }
    // A TCP socket on the loopback address at a port the system picks.
    Listener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listenOn(AF_INET, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
        socklen_t size = sizeof address;
        if (fd_ >= 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~Listener()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }
    int port() const { return port_; }

  private:
    void listenOn(int family, const sockaddr* address, std::size_t length)
    {
        fd_ = socket(family, SOCK_STREAM, 0);
        if (fd_ >= 0 &&
            (bind(fd_, address, static_cast<socklen_t>(length)) != 0 ||
             listen(fd_, 4) != 0)) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0)
            thread_ = std::thread([this] { serve(); });
    }

    // Answers every client; the connections stay open until the end.
    void serve()
    {
        std::vector<int> clients;
        pollfd waiting = {fd_, POLLIN, 0};
        while (!stop_) {
            if (poll(&waiting, 1, 20) != 1)
                continue;
            const int client = accept(fd_, nullptr, nullptr);
            pollfd request = {client, POLLIN, 0};
            char bytes[512];
            const ssize_t got = poll(&request, 1, 2000) == 1
                                    ? read(client, bytes, sizeof bytes)
                                    : 0;
            const std::string reply = replyTo(std::string(
                bytes, static_cast<std::size_t>(std::max<ssize_t>(got, 0))));
            if (answer_ == Answer::HangUp ||
                send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                close(client);
            else
                clients.push_back(client);
        }
        for (int client : clients)
            close(client);
    }

    std::string replyTo(const std::string& request) const
    {
        if (answer_ == Answer::Silent)
            return "";
        if (!request.empty() && request[0] == 'l') {
            // The X connection setup, least significant byte first: the
            // cookie follows the padded name of its protocol.
            const auto word = [&](std::size_t at) {
                return std::size_t(std::uint8_t(request[at])) |
                       std::size_t(std::uint8_t(request[at + 1])) << 8;
            };
            const std::string cookie =
                request.substr(12 + (word(6) + 3) / 4 * 4, word(8));
            const bool accepted = answer_ == Answer::Serve &&
                                  (cookie_.empty() || cookie == cookie_);
            return std::string(accepted ? "\1" : "\0", 1) +
                   std::string("\0\13\0\0\0\0\0", 7);
        }
        if (answer_ == Answer::Refuse)
            return "HTTP/1.0 400 Bad Request\r\n\r\n";
        // The Wayland sync callback (object 2) is done.
        const std::uint32_t done[] = {2, 12u << 16, 1};
        return std::string(reinterpret_cast<const char*>(done), sizeof done);
    }

    Answer answer_ = Answer::Serve;
    std::string cookie_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One Xauthority entry: family, address, display number, then the
// MIT-MAGIC-COOKIE-1 cookie, each string after its big-endian length.
std::string authorityEntry(unsigned family, const std::string& address,
                           const std::string& number, const std::string& cookie)
{
    std::string entry = {char(family >> 8), char(family & 0xff)};
    for (const std::string& field :
         {address, number, std::string("MIT-MAGIC-COOKIE-1"), cookie})
        entry +=
            std::string{char(field.size() >> 8), char(field.size())} + field;
    return entry;
}

constexpr unsigned kFamilyLocal = 256;
constexpr unsigned kFamilyWild = 65535;
const std::string kCookie = "0123456789abcdef";

std::string hostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

std::string writtenFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A display number whose socket nobody else should hold.
int unusedDisplayNumber()
{
    return 50000 + static_cast<int>(getpid()) % 40000;
}

} // namespace

TEST(DisplayProbe, NothingNamedIsNoDisplay)
{
    EXPECT_EQ(probeDisplay(nullptr, nullptr, nullptr), ReachableDisplay::None);
    EXPECT_EQ(probeDisplay("", "", "/tmp"), ReachableDisplay::None);
}

// Names that point where nothing listens, or that cannot be read.
TEST(DisplayProbe, DeadOrUnreadableNamesAreNoDisplay)
{
    const std::string dir = testRunDir();
    const std::string n = std::to_string(unusedDisplayNumber());
    for (const char* display :
         {":N", ":N.0", "unix:N", "localhost:N", "127.0.0.1:N.1", "/no/such:N",
          "nonsense", ":", ":x", "host::N", ":123456"}) {
        std::string name = display;
        const std::size_t at = name.find('N');
        if (at != std::string::npos && name != "nonsense")
            name.replace(at, 1, n);
        SCOPED_TRACE(name);
        EXPECT_EQ(probeDisplay(name.c_str(), nullptr, nullptr),
                  ReachableDisplay::None);
    }
    EXPECT_EQ(probeDisplay(nullptr, "wayland-gone", dir.c_str()),
              ReachableDisplay::None);
    EXPECT_EQ(probeDisplay(nullptr, (dir + "/wayland-gone").c_str(), nullptr),
              ReachableDisplay::None);
    // A relative Wayland name needs the runtime folder.
    Listener wayland(dir + "/wayland-7", false);
    ASSERT_GE(wayland.fd(), 0);
    EXPECT_EQ(probeDisplay(nullptr, "wayland-7", nullptr),
              ReachableDisplay::None);
}

TEST(DisplayProbe, ListeningXServerIsFound)
{
    const int number = unusedDisplayNumber();
    const std::string n = std::to_string(number);
    {
        // Local servers on Linux listen in the abstract namespace too.
        Listener local("/tmp/.X11-unix/X" + n, true);
        ASSERT_GE(local.fd(), 0);
        for (const std::string& name : {":" + n, ":" + n + ".0", "unix:" + n}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(probeDisplay(name.c_str(), nullptr, nullptr),
                      ReachableDisplay::X11);
        }
    }
    EXPECT_EQ(probeDisplay((":" + n).c_str(), nullptr, nullptr),
              ReachableDisplay::None);

    Listener tcp;
    ASSERT_GT(tcp.port(), 6000);
    const std::string forwarded =
        "127.0.0.1:" + std::to_string(tcp.port() - 6000) + ".0";
    EXPECT_EQ(probeDisplay(forwarded.c_str(), nullptr, nullptr),
              ReachableDisplay::X11);

    const std::string dir = testRunDir();
    Listener socketFile(dir + "/x:0", false);
    ASSERT_GE(socketFile.fd(), 0);
    EXPECT_EQ(probeDisplay((dir + "/x:0").c_str(), nullptr, nullptr),
              ReachableDisplay::X11);
}

// Wayland counts when X is not there; X comes first when both are.
TEST(DisplayProbe, ListeningWaylandCompositorIsFound)
{
    const std::string dir = testRunDir();
    const std::string deadX = ":" + std::to_string(unusedDisplayNumber());
    Listener wayland(dir + "/wayland-7", false);
    ASSERT_GE(wayland.fd(), 0);
    EXPECT_EQ(probeDisplay(nullptr, "wayland-7", dir.c_str()),
              ReachableDisplay::Wayland);
    EXPECT_EQ(probeDisplay(deadX.c_str(), (dir + "/wayland-7").c_str(), ""),
              ReachableDisplay::Wayland);

    Listener tcp;
    ASSERT_GT(tcp.port(), 6000);
    const std::string liveX = "localhost:" + std::to_string(tcp.port() - 6000);
    EXPECT_EQ(probeDisplay(liveX.c_str(), "wayland-7", dir.c_str()),
              ReachableDisplay::X11);
}

// A server that accepts the connection but refuses the handshake, hangs
// up or never answers is no display; the wait for it is bounded.
TEST(DisplayProbe, ServerThatFailsTheHandshakeIsNoDisplay)
{
    const std::string dir = testRunDir();
    const std::string n = std::to_string(unusedDisplayNumber());
    for (Answer answer : {Answer::Refuse, Answer::HangUp, Answer::Silent}) {
        SCOPED_TRACE(static_cast<int>(answer));
        Listener x("/tmp/.X11-unix/X" + n, true, answer);
        Listener wayland(dir + "/wayland-7", false, answer);
        ASSERT_GE(x.fd(), 0);
        ASSERT_GE(wayland.fd(), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(probeDisplay((":" + n).c_str(), "wayland-7", dir.c_str()),
                  ReachableDisplay::None);
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::seconds(10));
    }
}

// The X server gets the cookie of the entry for its display, by host name
// or for any address, and refuses a client without it.
TEST(DisplayProbe, XServerGetsTheCookieOfTheAuthorityFile)
{
    const std::string dir = testRunDir();
    const std::string n = std::to_string(unusedDisplayNumber());
    Listener x("/tmp/.X11-unix/X" + n, true, Answer::Serve, kCookie);
    const std::string display = ":" + n + ".0";
    const auto probe = [&](const std::string& entries) {
        return probeDisplay(display.c_str(), nullptr, nullptr,
                            writtenFile(dir + "/auth", entries).c_str());
    };
    const std::string other =
        authorityEntry(kFamilyLocal, hostName(), n + "1", "fedcba9876543210");
    EXPECT_EQ(
        probe(other + authorityEntry(kFamilyLocal, hostName(), n, kCookie)),
        ReachableDisplay::X11);
    EXPECT_EQ(probe(authorityEntry(kFamilyWild, "", "", kCookie)),
              ReachableDisplay::X11);
    EXPECT_EQ(probe(other), ReachableDisplay::None);
    EXPECT_EQ(probeDisplay(display.c_str(), nullptr, nullptr, nullptr),
              ReachableDisplay::None);
    EXPECT_EQ(xAuthorityFile("/x/auth", "/home/me"), "/x/auth");
    EXPECT_EQ(xAuthorityFile(nullptr, "/home/me"), "/home/me/.Xauthority");
    EXPECT_EQ(xAuthorityFile(nullptr, nullptr), "");
}

namespace {

// An Xvfb on a display number of its choosing that wants the cookie
// kCookie; display() is "" when it could not be started.
class Xvfb {
  public:
    explicit Xvfb(const std::string& dir)
    {
        const std::string auth = writtenFile(
            dir + "/server_auth", authorityEntry(kFamilyWild, "", "", kCookie));
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            const std::string fd = std::to_string(ready[1]);
            dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-auth",
                   auth.c_str(), "-nolisten", "tcp", nullptr);
            _exit(127);
        }
        close(ready[1]);
        // Xvfb writes its display number once it listens.
        pollfd waiting = {ready[0], POLLIN, 0};
        char number[16] = {};
        if (poll(&waiting, 1, 20000) == 1 &&
            read(ready[0], number, sizeof number - 1) > 0)
            display_ = std::string(":") + std::to_string(std::atoi(number));
        close(ready[0]);
    }
    ~Xvfb()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

const std::string kNoDisplay = "No display: the Result window is not shown.\n";
constexpr int kClipFrames = 8;

// Runs of_ulk clip.avi /r in dir with the environment; the recording must
// hold every frame. Returns standard error.
std::string recordedRun(const std::string& dir, const std::string& environment)
{
    if (readFileBytes(dir + "/clip.avi").empty())
        runProgram(dir, OF_ULK_CLIP_MAKER,
                   {"clip.avi", "160", "120", std::to_string(kClipFrames)});
    const ProcessResult r =
        runProgram(dir, OF_ULK_BINARY, {"clip.avi", "/r"},
                   environment + " HOME=" + dir + " XDG_RUNTIME_DIR=" + dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(int(readVideoFrames(dir + "/clip_out.avi").size()), kClipFrames);
    return r.err;
}

} // namespace

// A socket that does not speak Wayland is no display for the program.
TEST(DisplayProbeProgram, RunsWithoutADisplayBesideANonWaylandSocket)
{
    const std::string dir = testRunDir();
    // Socket paths are short: this one stays short wherever the build is.
    char runtime[] = "/tmp/of_ulk_test_XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    const std::string socket = std::string(runtime) + "/wayland-0";
    for (Answer answer : {Answer::HangUp, Answer::Refuse}) {
        Listener notWayland(socket, false, answer);
        ASSERT_GE(notWayland.fd(), 0);
        EXPECT_EQ(recordedRun(dir, "WAYLAND_DISPLAY=" + socket), kNoDisplay);
    }
    unlink(socket.c_str());
    rmdir(runtime);
}

// With the cookie the program uses the X server, without it (none, a
// wrong one) it runs as without a display.
TEST(DisplayProbeProgram, UsesAnXServerOnlyWithItsCookie)
{
    const std::string dir = testRunDir();
    chmod(dir.c_str(), 0700); // Qt wants its runtime folder private
    const Xvfb server(dir);
    if (server.display().empty())
        GTEST_SKIP() << "Xvfb is not installed or did not start";
    const std::string number = server.display().substr(1);
    const std::string env = "DISPLAY=" + server.display() + " XAUTHORITY=";
    for (const char* cookie : {"0123456789abcdef", "fedcba9876543210", ""}) {
        SCOPED_TRACE(cookie);
        const std::string auth = writtenFile(
            dir + "/auth",
            *cookie ? authorityEntry(kFamilyLocal, hostName(), number, cookie)
                    : "");
        EXPECT_EQ(recordedRun(dir, env + auth),
                  cookie == kCookie ? "" : kNoDisplay);
    }
}
