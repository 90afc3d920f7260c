#include "AccountsLock.h"

#include "AtomicFile.h"

#include <cerrno>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLockFileName[] = ".accounts.lock";
constexpr std::chrono::milliseconds kRetryEvery{20};

std::string directoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

std::string AccountsLock::lockFileFor(const std::string &accountsFile)
{
    // The replacement is renamed where a link points, so the lock is there.
    const std::string file = AtomicFile::replacementTarget(accountsFile).value_or(accountsFile);
    const std::string directory = directoryOf(file);
    return directory + (directory.back() == '/' ? "" : "/") + kLockFileName;
}

AccountsLock::AccountsLock(const std::string &accountsFile, std::chrono::milliseconds wait)
    : m_lockFile(lockFileFor(accountsFile))
{
    // O_NONBLOCK: a FIFO put in the lock file's place cannot stall the open.
    m_fd = ::open(m_lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, S_IRUSR | S_IWUSR);
    // A second name (a hard link) would make the lock file another file,
    // whose mode this would change.
    struct stat info {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        m_status = Status::Unavailable;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    // A lock file that others could open (made by hand) is closed to them.
    if (info.st_uid == ::geteuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ::fchmod(m_fd, S_IRUSR | S_IWUSR);

    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_status = Status::Held;
            return;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (error != EWOULDBLOCK || now >= deadline) {
            m_status = error == EWOULDBLOCK ? Status::Busy : Status::Unavailable;
            break;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kRetryEvery, deadline - now));
    }
    ::close(m_fd);
    m_fd = -1;
}

AccountsLock::~AccountsLock()
{
    // Closing the only descriptor of the open file releases the lock.
    if (m_fd >= 0)
        ::close(m_fd);
}
