#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {
namespace {

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

std::string resolveLink(const std::string &path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

mode_t lessUmask(mode_t mode)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

// Whether an existing file may be replaced: a regular file that its owner
// may write, and that this process may write. The owner's write bit counts
// even for a privileged process, which could otherwise replace a file the
// operator has made read-only.
bool mayReplace(const std::string &target, const struct stat &existing)
{
    return S_ISREG(existing.st_mode) && (existing.st_mode & S_IWUSR) != 0
        && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

// The new content on its way to the file: readable by the owner only, in
// the file's own directory. Where the file system allows it the scratch file
// has no name until it is complete, so a process killed while writing leaves
// nothing behind; otherwise it is a hidden ".name.XXXXXX" file. Any name it
// got is removed unless it was renamed over the file.
class ScratchFile
{
public:
    ScratchFile(const std::string &directory, const std::string &base)
        : m_pattern(directory + "/." + base + ".XXXXXX")
    {
        // An unnamed file is named through /proc once it is complete.
        if (::access("/proc/self/fd", X_OK) == 0)
            m_fd.reset(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
        if (m_fd.get() >= 0)
            return;
        m_name = m_pattern;
        m_fd.reset(::mkostemp(m_name.data(), O_CLOEXEC));
        if (m_fd.get() < 0)
            m_name.clear();
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    ~ScratchFile()
    {
        if (!m_name.empty())
            ::unlink(m_name.c_str());
    }

    int descriptor() const { return m_fd.get(); }

    // Closes the file and puts it in place of `target`.
    bool renameOver(const std::string &target)
    {
        if (m_name.empty() && !linkUnnamed())
            return false;
        if (!m_fd.close() || ::rename(m_name.c_str(), target.c_str()) != 0)
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
            std::string name = m_pattern;
            fillRandom(name);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                m_name = std::move(name);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    static void fillRandom(std::string &pattern)
    {
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::random_device random;
        for (size_t i = pattern.size() - 6; i < pattern.size(); ++i)
            pattern[i] = kLetters[random() % (sizeof kLetters - 1)];
    }

    std::string m_pattern;
    std::string m_name; // the scratch file's name while it has one
    FileDescriptor m_fd{-1};
};

} // namespace

ReadResult readAll(const std::string &path)
{
    ReadResult result;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        result.status = (errno == ENOENT || errno == ENOTDIR) ? ReadStatus::Missing : ReadStatus::Failed;
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return result;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.bytes.clear();
            return result;
        }
        if (got == 0)
            break;
        if (result.bytes.size() + static_cast<size_t>(got) > kMaxFileSize) {
            result.bytes.clear();
            return result;
        }
        result.bytes.append(chunk, static_cast<size_t>(got));
    }
    result.status = ReadStatus::Ok;
    return result;
}

bool replaceContents(const std::string &path, std::string_view bytes, mode_t newFileMode)
{
    const std::string target = resolveLink(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !mayReplace(target, existing))
        return false;
    const mode_t mode = exists ? (existing.st_mode & 07777) : lessUmask(newFileMode & 0777);

    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    ScratchFile scratch(directory, base);
    if (scratch.descriptor() < 0)
        return false;
    bool ok = writeAll(scratch.descriptor(), bytes) && ::fchmod(scratch.descriptor(), mode) == 0;
    if (ok && exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
        // Keeping the owner is best effort: only a privileged process may.
        [[maybe_unused]] const int ignored = ::fchown(scratch.descriptor(), existing.st_uid, existing.st_gid);
    }
    ok = ok && ::fsync(scratch.descriptor()) == 0;
    return ok && scratch.renameOver(target);
}

} // namespace AtomicFile
