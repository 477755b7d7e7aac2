// Stop signals as a request to stop: while an InterruptWatch is alive the
// first of the signals it catches does not end the process but is handed to
// a callback on the watch's own thread, so that a front end can finish the
// item in hand and leave in order. A second signal ends the process at
// once, as usual. A watch made with NoSignals catches none: it stops its
// run only when asked in code, as ofulk.batch stops a task whose run was
// given up.
#ifndef ULK_FRONTEND_INTERRUPT_WATCH_H
#define ULK_FRONTEND_INTERRUPT_WATCH_H

#include <atomic>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

namespace ulk::frontend {

class InterruptWatch {
  public:
    // Most signals one watch catches.
    static constexpr int kMostSignals = 4;

    // Catches the given signals (SIGINT and SIGTERM unless told otherwise;
    // at most kMostSignals); a signal that was ignored when the watch began
    // stays ignored. Only one such watch may be alive at a time.
    explicit InterruptWatch(std::initializer_list<int> signals = {SIGINT,
                                                                  SIGTERM});
    // A watch of no signal, stopped by request() only; any number of these
    // may be alive beside the one that catches signals.
    struct NoSignals {};
    explicit InterruptWatch(NoSignals);
    // Restores the earlier handlers and stops the watch's thread.
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The first signal caught or requested, 0 while none was.
    int signal() const;

    // Stops the watched run as signal would, from any thread: the callback
    // hears of it on that thread unless a signal came first. For the watch
    // that catches signals, a signal after it ends the process at once.
    void request(int signal);

    // Calls onSignal with the signal number on the watch's thread when the
    // first signal arrives (on request()'s thread when requested), at once
    // if it already has. An empty function ends the calls; once this
    // returns, the earlier one is not running.
    void setCallback(std::function<void(int)> onSignal);

  private:
    void watchLoop();

    const bool catchesSignals_ = true;
    std::atomic<int> requested_{0}; // the signal of a watch of no signal
    int pipe_[2] = {-1, -1};        // the handler wakes the thread through it
    std::thread thread_;
    std::mutex mutex_; // guards callback_ and its calls
    std::function<void(int)> callback_;
    bool called_ = false;
};

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for any other.
std::string signalName(int signal);

// The exit status of a program that stops on a signal it caught: 128 plus
// its number, as the shell reports a process killed by it (130 for SIGINT,
// 143 for SIGTERM, 129 for SIGHUP).
int exitStatusForSignal(int signal);

} // namespace ulk::frontend

#endif
