#include "interrupt_watch.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <unistd.h>

namespace ulk::frontend {

namespace {

// Base of the exit status of a program ended by a signal.
constexpr int kSignalExitBase = 128;
// Byte that the destructor writes to stop the thread; the handler writes
// the signal number, which is never 0.
constexpr char kStopByte = 0;

// The handler may only touch these: the first signal and the pipe's end.
std::atomic<int> caughtSignal{0};
std::atomic<int> wakeFd{-1};
std::atomic<bool> watchAlive{false};

// The signals the live watch catches and the handlers they had before.
struct CaughtSignal {
    int number = 0;
    struct sigaction saved = {};
};
CaughtSignal caught[InterruptWatch::kMostSignals];
int caughtCount = 0;

extern "C" void onStopSignal(int signal)
{
    const int savedErrno = errno;
    int expected = 0;
    if (!caughtSignal.compare_exchange_strong(expected, signal)) {
        // Asked twice: end now, the way the signal normally does.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        errno = savedErrno;
        return;
    }
    const char byte = static_cast<char>(signal);
    const int fd = wakeFd.load();
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

// Installs the handler for signal unless the signal was ignored.
void catchSignal(int signal, struct sigaction& saved)
{
    sigaction(signal, nullptr, &saved);
    if (saved.sa_handler == SIG_IGN)
        return;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

} // namespace

InterruptWatch::InterruptWatch(std::initializer_list<int> signals)
{
    const bool wasAlive = watchAlive.exchange(true);
    assert(!wasAlive && "only one InterruptWatch at a time");
    (void)wasAlive;
    if (::pipe2(pipe_, O_CLOEXEC) != 0)
        pipe_[0] = pipe_[1] = -1;
    caughtSignal.store(0);
    wakeFd.store(pipe_[1]);
    assert(signals.size() <= static_cast<std::size_t>(kMostSignals));
    caughtCount = 0;
    for (int number : signals) {
        if (caughtCount == kMostSignals)
            break;
        CaughtSignal& entry = caught[caughtCount++];
        entry.number = number;
        catchSignal(number, entry.saved);
    }
    if (pipe_[0] >= 0)
        thread_ = std::thread([this] { watchLoop(); });
}

InterruptWatch::InterruptWatch(NoSignals) : catchesSignals_(false) {}

InterruptWatch::~InterruptWatch()
{
    if (!catchesSignals_)
        return;
    for (int i = 0; i < caughtCount; ++i)
        sigaction(caught[i].number, &caught[i].saved, nullptr);
    wakeFd.store(-1);
    if (thread_.joinable()) {
        ssize_t ignored = ::write(pipe_[1], &kStopByte, 1);
        (void)ignored;
        thread_.join();
    }
    if (pipe_[0] >= 0) {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    watchAlive.store(false);
}

int InterruptWatch::signal() const
{
    return catchesSignals_ ? caughtSignal.load() : requested_.load();
}

void InterruptWatch::request(int signal)
{
    std::atomic<int>& first = catchesSignals_ ? caughtSignal : requested_;
    int expected = 0;
    if (!first.compare_exchange_strong(expected, signal))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback_ && !called_) {
        called_ = true;
        callback_(signal);
    }
}

void InterruptWatch::setCallback(std::function<void(int)> onSignal)
{
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(onSignal);
    called_ = false;
    const int first = signal();
    if (first != 0 && callback_) {
        called_ = true;
        callback_(first);
    }
}

void InterruptWatch::watchLoop()
{
    for (;;) {
        char byte = kStopByte;
        const ssize_t got = ::read(pipe_[0], &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == kStopByte)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (callback_ && !called_) {
            called_ = true;
            callback_(caughtSignal.load());
        }
    }
}

std::string signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signal);
    }
}

int exitStatusForSignal(int signal)
{
    return kSignalExitBase + signal;
}

} // namespace ulk::frontend
