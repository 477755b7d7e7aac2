#include "support.h"

#include <filesystem>

std::string testTempDir(const std::string& name)
{
    std::filesystem::path dir = std::filesystem::path(OF_ULK_TEST_TMP) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string sharedDataDir()
{
    std::filesystem::path dir(OF_ULK_SHARED_DATA);
    return std::filesystem::is_directory(dir) ? dir.string() : std::string();
}
