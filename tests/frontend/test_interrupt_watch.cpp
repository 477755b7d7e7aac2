// Tests of the stop-signal watch: the first signal it catches (SIGINT and
// SIGTERM, SIGHUP when asked) reaches the callback instead of ending the
// process, a second one ends it, and the earlier handlers come back
// afterwards.
#include "interrupt_watch.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace ulk::frontend;

namespace {

// Waits up to a second for value to become nonzero.
int waitForValue(const std::atomic<int>& value)
{
    for (int i = 0; i < 1000 && value.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return value.load();
}

sighandler_t currentHandler(int signal)
{
    struct sigaction action = {};
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

} // namespace

TEST(InterruptWatch, FirstSignalReachesTheCallbackAndHandlersComeBack)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalName(signal));
        sighandler_t before = currentHandler(signal);
        std::atomic<int> seen{0};
        {
            InterruptWatch watch({SIGINT, SIGTERM, SIGHUP});
            EXPECT_EQ(watch.signal(), 0);
            watch.setCallback([&seen](int s) { seen = s; });
            raise(signal);
            EXPECT_EQ(waitForValue(seen), signal);
            EXPECT_EQ(watch.signal(), signal);
            // A callback set later hears of the signal at once.
            std::atomic<int> late{0};
            watch.setCallback([&late](int s) { late = s; });
            EXPECT_EQ(late.load(), signal);
            watch.setCallback(nullptr);
        }
        EXPECT_EQ(currentHandler(signal), before);
    }
}

// A second signal ends the process the usual way; a signal ignored before
// the watch stays ignored.
TEST(InterruptWatch, SecondSignalEndsTheProcessAndIgnoredStaysIgnored)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGTERM, SIG_IGN);
        signal(SIGINT, SIG_DFL);
        InterruptWatch watch;
        raise(SIGTERM);
        if (watch.signal() != 0)
            _exit(2);
        raise(SIGINT);
        for (int i = 0; i < 1000 && watch.signal() == 0; ++i)
            usleep(1000);
        raise(SIGINT);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status))
        << "exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(InterruptWatch, ExitStatusIsTheShellsForTheSignal)
{
    EXPECT_EQ(exitStatusForSignal(SIGINT), 130);
    EXPECT_EQ(exitStatusForSignal(SIGTERM), 143);
    EXPECT_EQ(signalName(SIGTERM), "SIGTERM");
    EXPECT_EQ(exitStatusForSignal(SIGHUP), 129);
    EXPECT_EQ(signalName(SIGHUP), "SIGHUP");
    EXPECT_EQ(signalName(SIGUSR1), "signal 10");
    // The exporter's watch leaves SIGHUP alone.
    sighandler_t before = currentHandler(SIGHUP);
    InterruptWatch watch;
    EXPECT_EQ(currentHandler(SIGHUP), before);
}
