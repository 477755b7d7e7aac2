#include "unlocked.h"

#include <chrono>
#include <thread>

namespace ulk::python {

namespace {

bool interpreterShuttingDown()
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The thread waits here until the process ends; it never returns into the
// interpreter.
[[noreturn]] void stayOut()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

} // namespace

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked()
{
    if (interpreterShuttingDown())
        stayOut();
    try {
        PyEval_RestoreThread(state_);
    } catch (...) {
        // The shutdown began while this thread waited for the lock, and
        // Python ended the thread: the unwinding of pthread_exit, which
        // must not leave a destructor, ends here.
        stayOut();
    }
}

} // namespace ulk::python
