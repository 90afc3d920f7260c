#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Whole-file reads and writes for small text files.
//
// Neither ever waits on what stands at the path: a read opens without
// blocking and takes a regular file only (a FIFO, device, socket or
// directory in a settings file's place is a failed read, at once), and a
// write only ever renames a complete new file into a directory.
namespace AtomicFile {

enum class ReadStatus { Ok, Missing, Failed };

// Why a read failed, for the operator.
enum class ReadFailure { None, NotRegular, TooLarge, System };

struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    std::string bytes;
    ReadFailure failure = ReadFailure::None;
    int error = 0; // errno, with ReadFailure::System

    // "not a regular file", "larger than 16777216 bytes", "Permission
    // denied"; empty when the read did not fail.
    std::string failureText(size_t maxBytes) const;
};

// Settings files are small; anything larger than this is refused.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

// Reads the whole file, following symbolic links. A path that does not
// exist (or whose directory does not) is Missing; anything else that is not
// a regular file, a file over `maxBytes`, or a failing read is Failed.
ReadResult readAll(const std::string &path, size_t maxBytes = kMaxFileSize);

// Where a replacement of `path` would be put: the path itself, or, when it
// is a symbolic link that may be followed (see replaceContents), the file
// the link names. Nothing when a link is in the way that may not be
// followed.
std::optional<std::string> replacementTarget(const std::string &path);

// Replaces the file's content in one step: the bytes go to a temporary file
// in the same directory, readable by the owner only while it is written,
// which is flushed to disk and renamed over the file, so a reader sees either
// the old content or the new, never a part. The temporary file is gone on
// every way out. The directory is opened once and every later step works
// relative to it, so the file cannot be moved elsewhere in between.
//
// An existing file keeps its permission bits (and, where allowed, its owner
// and group); a new file gets `newFileMode` less the process's umask and,
// when `newFileGroup` is not -1 and the process may give it, that group. So
// a caller can keep a new file from ever being readable by others, whatever
// the umask.
//
// A symbolic link in the file's place is followed only when the link and
// its directory are this process's user's or root's, and nobody else may
// write that directory; any other link (one another user could have put
// there) makes the write fail, as does anything in place that is not a
// regular file. A file marked read-only (no write bit for its owner) is
// never replaced, even by a privileged process, nor one this process may
// not write. Returns false and leaves the old file as it was when any step
// fails.
bool replaceContents(const std::string &path, std::string_view bytes, mode_t newFileMode = 0666,
                     gid_t newFileGroup = gid_t(-1));

} // namespace AtomicFile
