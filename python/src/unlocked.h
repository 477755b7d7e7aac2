// The interpreter's lock let go for the length of a scope, as
// py::gil_scoped_release does, for calls that a daemon thread may still be
// in when the interpreter shuts down.
#ifndef OFULK_UNLOCKED_H
#define OFULK_UNLOCKED_H

#include <pybind11/pybind11.h>

namespace ulk::python {

// Taking the lock back during the shutdown makes Python end the thread
// with pthread_exit, and its unwinding out of a destructor would abort the
// process. Such a thread stops at the end of the scope instead, without
// the lock, until the process exits.
class Unlocked {
  public:
    Unlocked();
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

  private:
    PyThreadState* state_;
};

} // namespace ulk::python

#endif
