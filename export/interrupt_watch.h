// SIGINT and SIGTERM as a request to stop: while an InterruptWatch is alive
// the first of them does not end the process but is handed to a callback on
// the watch's own thread, so that the exporter can finish the file in hand
// and leave in order. A second signal ends the process at once, as usual.
// A watch made with NoSignals catches none: it stops its run only when
// asked in code, as ofulk.batch stops a task whose run was given up.
#ifndef OF_ULK_INTERRUPT_WATCH_H
#define OF_ULK_INTERRUPT_WATCH_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ulk::exporter {

class InterruptWatch {
  public:
    // Catches SIGINT and SIGTERM (a signal that was ignored when the watch
    // began stays ignored). Only one such watch may be alive at a time.
    InterruptWatch();
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

// "SIGINT", "SIGTERM", or "signal N" for any other.
std::string signalName(int signal);

// The exit status of a program that stops on a signal it caught: 128 plus
// its number, as the shell reports a process killed by it (130 for SIGINT,
// 143 for SIGTERM).
int exitStatusForSignal(int signal);

} // namespace ulk::exporter

#endif
