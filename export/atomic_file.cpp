#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace ulk::exporter {

namespace fs = std::filesystem;

namespace {

// Ends every temporary name, so that a leftover of a killed run is known
// for what it is.
const char* const kTemporarySuffix = ".part";

} // namespace

std::string temporaryFileName(const std::string& target)
{
    fs::path path(target);
    std::string name = "." + path.filename().string() + "." +
                       std::to_string(::getpid()) + kTemporarySuffix;
    return (path.parent_path() / name).string();
}

bool isTemporaryFileName(const std::string& name)
{
    const std::string suffix = kTemporarySuffix;
    if (name.size() < suffix.size() + 3 || name[0] != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    // The process number between the last two dots.
    size_t end = name.size() - suffix.size();
    size_t dot = name.rfind('.', end - 1);
    if (dot == std::string::npos || dot == 0 || dot + 1 == end)
        return false;
    for (size_t i = dot + 1; i < end; ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

bool writeFileAtomically(const std::string& target,
                         const std::function<bool(const std::string&)>& write,
                         std::string& error)
{
    const std::string temporary = temporaryFileName(target);
    bool written = false;
    errno = 0;
    try {
        written = write(temporary);
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        // The system's reason, when the failing call left one.
        const int cause = errno;
        std::remove(temporary.c_str());
        error = "cannot write " + target;
        if (cause != 0)
            error += std::string(": ") + std::strerror(cause);
        return false;
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        const int cause = errno;
        std::remove(temporary.c_str());
        error = "cannot write " + target + ": " + std::strerror(cause);
        return false;
    }
    return true;
}

bool writeWholeFile(const std::string& path,
                    const std::vector<unsigned char>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool whole =
        std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    // fclose flushes the buffer, so its failure is a failed write too.
    const bool closed = std::fclose(file) == 0;
    return whole && closed;
}

bool writeBytesAtomically(const std::string& target,
                          const std::vector<unsigned char>& bytes,
                          std::string& error)
{
    return writeFileAtomically(
        target,
        [&bytes](const std::string& path) {
            return writeWholeFile(path, bytes);
        },
        error);
}

} // namespace ulk::exporter
