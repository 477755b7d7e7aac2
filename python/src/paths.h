// File paths from Python: whatever os.fsencode takes (str, bytes,
// os.PathLike), turned into the bytes the system gets, as open() does.
#ifndef OFULK_PATHS_H
#define OFULK_PATHS_H

#include <pybind11/pybind11.h>

#include <string>

namespace ulk::python {

struct PathArg {
    // The bytes of the path in the filesystem encoding, for the system.
    std::string bytes;
    // os.fspath of the argument (a str or bytes), for the filename of an
    // OSError.
    pybind11::object given;
};

// TypeError for anything else than a str, bytes or os.PathLike; ValueError
// ("embedded null byte") for a path with a NUL, which the system would cut
// there and so name another file.
PathArg pathArg(pybind11::handle object);

} // namespace ulk::python

#endif
