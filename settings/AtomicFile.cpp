#include "AtomicFile.h"

#include <cerrno>
#include <random>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {
namespace {

// Links followed on the way to the file a replacement goes to, at most.
constexpr int kMaxLinks = 8;

// Closes a descriptor when it goes out of scope.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { close(); }
    int get() const { return m_fd; }
    void reset(int fd)
    {
        close();
        m_fd = fd;
    }
    bool close()
    {
        if (m_fd < 0)
            return true;
        const bool ok = ::close(m_fd) == 0;
        m_fd = -1;
        return ok;
    }

private:
    int m_fd;
};

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

mode_t lessUmask(mode_t mode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

ReadResult failedRead(ReadFailure failure, int error = 0)
{
    ReadResult result;
    result.failure = failure;
    result.error = error;
    return result;
}

// The directory a replacement goes into, held open so that no later step
// can be sent elsewhere, and the file's name in it.
struct Place {
    FileDescriptor directory{-1};
    std::string base;
};

bool trustedOwner(uid_t owner)
{
    return owner == ::geteuid() || owner == 0;
}

// A link is followed only where nobody but this process's user and root
// could have put it: otherwise root, told to write a file in a directory
// another user controls, would write wherever that user pointed it.
bool mayFollow(int directory, const struct stat &link)
{
    struct stat info {};
    return ::fstat(directory, &info) == 0 && trustedOwner(info.st_uid) && trustedOwner(link.st_uid)
        && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::string> linkText(int directory, const std::string &name)
{
    std::string text(4096, '\0');
    const ssize_t length = ::readlinkat(directory, name.c_str(), text.data(), text.size());
    if (length <= 0 || size_t(length) >= text.size())
        return std::nullopt;
    text.resize(size_t(length));
    return text;
}

// Finds the directory and name a replacement of `path` goes to, following
// only the links mayFollow allows. False when a link may not be followed,
// too many links are in the way, or the directory cannot be opened.
bool locate(std::string path, Place *place, std::string *resolved = nullptr)
{
    for (int links = 0; links <= kMaxLinks; ++links) {
        const size_t slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty() || base == "." || base == "..")
            return false;
        place->directory.reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (place->directory.get() < 0)
            return false;
        struct stat info {};
        if (::fstatat(place->directory.get(), base.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(info.st_mode)) {
            place->base = base;
            if (resolved)
                *resolved = path;
            return true;
        }
        const std::optional<std::string> target = linkText(place->directory.get(), base);
        if (!mayFollow(place->directory.get(), info) || !target)
            return false;
        path = target->front() == '/' ? *target : directory + "/" + *target;
    }
    return false;
}

// Whether an existing file may be replaced: a regular file that its owner
// may write, and that this process may write. The owner's write bit counts
// even for a privileged process, which could otherwise replace a file the
// operator has made read-only.
bool mayReplace(const Place &place, const struct stat &existing)
{
    return S_ISREG(existing.st_mode) && (existing.st_mode & S_IWUSR) != 0
        && ::faccessat(place.directory.get(), place.base.c_str(), W_OK, AT_EACCESS) == 0;
}

// The new content on its way to the file: readable by the owner only, in
// the file's own directory. Where the file system allows it the scratch file
// has no name until it is complete, so a process killed while writing leaves
// nothing behind; otherwise it is a hidden ".name.XXXXXX" file. Any name it
// got is removed unless it was renamed over the file.
class ScratchFile
{
public:
    ScratchFile(int directory, const std::string &base) : m_directory(directory), m_prefix("." + base + ".")
    {
        // An unnamed file is named through /proc once it is complete.
        if (::access("/proc/self/fd", X_OK) == 0)
            m_fd.reset(::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
        for (int attempt = 0; m_fd.get() < 0 && attempt < 100; ++attempt) {
            std::string name = freshName();
            m_fd.reset(::openat(directory, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR));
            if (m_fd.get() >= 0)
                m_name = std::move(name);
            else if (errno != EEXIST)
                break;
        }
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    ~ScratchFile()
    {
        if (!m_name.empty())
            ::unlinkat(m_directory, m_name.c_str(), 0);
    }

    int descriptor() const { return m_fd.get(); }

    // Closes the file and puts it in place of `base`.
    bool renameOver(const std::string &base)
    {
        if (m_name.empty() && !linkUnnamed())
            return false;
        if (!m_fd.close() || ::renameat(m_directory, m_name.c_str(), m_directory, base.c_str()) != 0)
            return false;
        m_name.clear();
        return true;
    }

private:
    // Gives the unnamed file a fresh hidden name beside the target.
    bool linkUnnamed()
    {
        const std::string self = "/proc/self/fd/" + std::to_string(m_fd.get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = freshName();
            if (::linkat(AT_FDCWD, self.c_str(), m_directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                m_name = std::move(name);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    std::string freshName() const
    {
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::random_device random;
        std::string name = m_prefix;
        for (int i = 0; i < 6; ++i)
            name += kLetters[random() % (sizeof kLetters - 1)];
        return name;
    }

    int m_directory;
    std::string m_prefix;
    std::string m_name; // the scratch file's name while it has one
    FileDescriptor m_fd{-1};
};

// Gives the scratch file the existing file's owner and group, or a new
// file the group asked for. Best effort: only a privileged process may give
// a file away, and only to a group it belongs to otherwise.
void giveOwnership(int fd, bool exists, const struct stat &existing, gid_t newFileGroup)
{
    if (exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()))
        [[maybe_unused]] const int ignored = ::fchown(fd, existing.st_uid, existing.st_gid);
    else if (!exists && newFileGroup != gid_t(-1))
        [[maybe_unused]] const int ignored = ::fchown(fd, uid_t(-1), newFileGroup);
}

} // namespace

std::string ReadResult::failureText(size_t maxBytes) const
{
    switch (failure) {
    case ReadFailure::None:
        break;
    case ReadFailure::NotRegular:
        return "not a regular file";
    case ReadFailure::TooLarge:
        return "larger than " + std::to_string(maxBytes) + " bytes";
    case ReadFailure::System:
        return std::generic_category().message(error);
    }
    return {};
}

ReadResult readAll(const std::string &path, size_t maxBytes)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for good.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            ReadResult missing;
            missing.status = ReadStatus::Missing;
            return missing;
        }
        return failedRead(ReadFailure::System, errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return failedRead(ReadFailure::System, errno);
    if (!S_ISREG(info.st_mode))
        return failedRead(ReadFailure::NotRegular);
    if (info.st_size < 0 || size_t(info.st_size) > maxBytes)
        return failedRead(ReadFailure::TooLarge);
    ReadResult result;
    result.bytes.reserve(size_t(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failedRead(ReadFailure::System, errno);
        }
        if (got == 0)
            break;
        // The file may grow while it is read.
        if (result.bytes.size() + static_cast<size_t>(got) > maxBytes)
            return failedRead(ReadFailure::TooLarge);
        result.bytes.append(chunk, static_cast<size_t>(got));
    }
    result.status = ReadStatus::Ok;
    return result;
}

std::optional<std::string> replacementTarget(const std::string &path)
{
    Place place;
    std::string resolved;
    if (!locate(path, &place, &resolved))
        return std::nullopt;
    return resolved;
}

bool replaceContents(const std::string &path, std::string_view bytes, mode_t newFileMode, gid_t newFileGroup)
{
    Place place;
    if (!locate(path, &place))
        return false;
    struct stat existing {};
    const bool exists = ::fstatat(place.directory.get(), place.base.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if ((!exists && errno != ENOENT) || (exists && !mayReplace(place, existing)))
        return false;
    const mode_t mode = exists ? (existing.st_mode & 07777) : lessUmask(newFileMode & 0777);

    ScratchFile scratch(place.directory.get(), place.base);
    if (scratch.descriptor() < 0 || !writeAll(scratch.descriptor(), bytes))
        return false;
    giveOwnership(scratch.descriptor(), exists, existing, newFileGroup);
    // After the owner: a change of owner may clear mode bits.
    return ::fchmod(scratch.descriptor(), mode) == 0 && ::fsync(scratch.descriptor()) == 0
        && scratch.renameOver(place.base);
}

} // namespace AtomicFile
