#include "source_name.h"

#include <filesystem>
#include <system_error>

namespace ulk::viewer {

std::string asciiLowerCase(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::size_t findAviExtension(const std::string& name)
{
    // Lower-casing keeps every byte in its place.
    return asciiLowerCase(name).find(".avi");
}

std::string openableSourceName(const std::string& given)
{
    // Anything under the given name counts, a directory or a broken link
    // too: the open then says what is wrong with it, instead of quietly
    // taking another file.
    std::error_code error;
    const std::filesystem::file_status status =
        std::filesystem::symlink_status(given, error);
    if (!error && std::filesystem::exists(status))
        return given;
    return asciiLowerCase(given);
}

} // namespace ulk::viewer
