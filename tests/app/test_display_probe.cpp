// The display probe against sockets made by the test: a display counts
// when something listens where its name points, and only then.
#include "display_probe.h"
#include "support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

using namespace ulk::viewer;

namespace {

// A listening socket for the duration of a test; fd() < 0 when it could
// not be made.
class Listener {
  public:
    // A Unix socket at path, or in the abstract namespace under that name.
    Listener(const std::string& path, bool abstract)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
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
    }
    int fd_ = -1;
    int port_ = 0;
};

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
