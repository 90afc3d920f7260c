#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

// What the file fuzz targets share: one scratch directory per process and
// a way to stop on a broken promise with a readable reason.
namespace FuzzFiles {

// Made on first use, removed when the process ends normally.
struct ScratchDirectory {
    std::filesystem::path path;
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ventoro-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        path = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

inline const std::filesystem::path &scratchDirectory()
{
    static const ScratchDirectory dir;
    return dir.path;
}

inline std::string writeScratchFile(const char *name, std::string_view bytes)
{
    // Made again if something cleaning the temporary directory took it.
    std::error_code ignored;
    std::filesystem::create_directories(scratchDirectory(), ignored);
    const std::filesystem::path path = scratchDirectory() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
    return path.string();
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] inline void fail(const char *what, std::string_view detail = {})
{
    std::fprintf(stderr, "broken: %s [", what);
    std::fwrite(detail.data(), 1, detail.size(), stderr);
    std::fprintf(stderr, "]\n");
    std::abort();
}

} // namespace FuzzFiles
