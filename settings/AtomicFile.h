#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Whole-file reads and writes for small text files.
namespace AtomicFile {

enum class ReadStatus { Ok, Missing, Failed };

struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    std::string bytes;
};

// Settings files are small; anything larger than this is refused.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

// Reads the whole file. A path that does not exist (or whose directory does
// not) is Missing; any other failure, or a file over kMaxFileSize, is Failed.
ReadResult readAll(const std::string &path);

// Replaces the file's content in one step: the bytes go to a temporary file
// in the same directory, readable by the owner only while it is written,
// which is flushed to disk and renamed over the file, so a reader sees either
// the old content or the new, never a part. The temporary file is gone on
// every way out. An existing file keeps its permission bits (and, where
// allowed, its owner); a new file gets `newFileMode` less the process's
// umask, so a caller can keep a new file from ever being readable by
// others, whatever the umask. A symbolic link is followed and its target replaced.
// A file marked read-only (no write bit for its owner) is never replaced,
// even by a privileged process, nor one this process may not write. Returns
// false and leaves the old file as it was when any step fails.
bool replaceContents(const std::string &path, std::string_view bytes, mode_t newFileMode = 0666);

} // namespace AtomicFile
