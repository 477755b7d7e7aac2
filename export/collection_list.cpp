#include "collection_list.h"

#include "frame_source.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace ulk::exporter {

namespace fs = std::filesystem;

namespace {

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(std::tolower(c));
    });
    return text;
}

std::string trimmed(const std::string& line)
{
    const char* const kBlanks = " \t\r\n";
    size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return "";
    size_t last = line.find_last_not_of(kBlanks);
    return line.substr(first, last - first + 1);
}

bool isListFileName(const std::string& name)
{
    std::string ext = lowerCase(fs::path(name).extension().string());
    return ext == ".txt" || ext == ".list";
}

bool holdsFrameImages(const fs::path& folder)
{
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code typeError;
        if (!name.empty() && name[0] != '.' && isFrameFileName(name) &&
            it->is_regular_file(typeError))
            return true;
    }
    return false;
}

} // namespace

bool isVideoFileName(const std::string& name)
{
    static const char* const kExtensions[] = {".avi",  ".mp4", ".mkv",  ".mov",
                                              ".webm", ".mpg", ".mpeg", ".m4v",
                                              ".wmv",  ".flv"};
    std::string ext = lowerCase(fs::path(name).extension().string());
    for (const char* known : kExtensions)
        if (ext == known)
            return true;
    return false;
}

bool isCollectionInput(const std::string& input)
{
    std::error_code ec;
    if (fs::is_directory(input, ec))
        return !holdsFrameImages(input);
    return fs::is_regular_file(input, ec) && isListFileName(input);
}

std::string mirroredOutput(const std::string& relative, bool isVideo)
{
    fs::path path = fs::path(relative).lexically_normal();
    if (path.filename().empty())
        path = path.parent_path();
    bool leaves =
        path.is_absolute() || path.empty() || *path.begin() == fs::path("..");
    if (leaves)
        path = path.filename();
    if (isVideo)
        path.replace_extension();
    return path.generic_string();
}

bool readCollectionList(const std::string& listFile,
                        std::vector<CollectionItem>& items, std::string& error)
{
    std::ifstream file(listFile);
    if (!file) {
        error = "cannot read list " + listFile;
        return false;
    }
    const fs::path base = fs::path(listFile).parent_path();
    items.clear();
    std::string line;
    while (std::getline(file, line)) {
        std::string name = trimmed(line);
        if (name.empty() || name[0] == '#')
            continue;
        fs::path path(name);
        std::string relative =
            path.is_absolute() ? path.lexically_relative(base).string() : name;
        if (relative.empty())
            relative = name;
        std::error_code ec;
        fs::path input = path.is_absolute() ? path : base / path;
        bool isVideo = !fs::is_directory(input, ec);
        items.push_back({input.lexically_normal().string(),
                         mirroredOutput(relative, isVideo)});
    }
    if (items.empty()) {
        error = "list " + listFile + " names no video or frame folder";
        return false;
    }
    return true;
}

bool findCollectionVideos(const std::string& folder,
                          std::vector<CollectionItem>& items,
                          std::string& error)
{
    items.clear();
    std::vector<std::string> relatives;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec);
    if (ec) {
        error = "cannot read folder " + folder + ": " + ec.message();
        return false;
    }
    for (fs::recursive_directory_iterator end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!name.empty() && name[0] == '.') {
            std::error_code typeError;
            if (it->is_directory(typeError))
                it.disable_recursion_pending();
            continue;
        }
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isVideoFileName(name))
            relatives.push_back(
                it->path().lexically_relative(folder).generic_string());
    }
    std::sort(relatives.begin(), relatives.end(), frameNameLess);
    for (const std::string& relative : relatives)
        items.push_back({(fs::path(folder) / relative).string(),
                         mirroredOutput(relative, true)});
    if (items.empty()) {
        error = "folder " + folder + " holds no video and no frame images";
        return false;
    }
    return true;
}

bool listCollection(const std::string& input,
                    std::vector<CollectionItem>& items, std::string& error)
{
    std::error_code ec;
    return fs::is_directory(input, ec)
               ? findCollectionVideos(input, items, error)
               : readCollectionList(input, items, error);
}

} // namespace ulk::exporter
