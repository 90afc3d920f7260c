#pragma once

#include <chrono>
#include <string>

// One writer at a time in an accounts directory: the directory that holds
// user.ini, and any file kept beside it under the same rule. Every
// read-modify-replace of those files (read, change in memory, replace) holds
// this lock from before its read to after its replacement, so two writers
// never build on the same old content and lose each other's change. Readers
// take no lock: each replacement is one rename, so they see the old file or
// the new one.
//
// The lock is an advisory flock on ".accounts.lock" in that directory (the
// directory of the file a symbolic link names, where the writers follow it:
// see AtomicFile::replacementTarget), not on the file itself, which every
// write replaces. The lock file is made readable and writable by its owner
// only and is never followed as a link, nor taken when it has a second
// name (a hard link), so another local user can neither open it to hold
// the operator's writers off nor point it elsewhere. It stays in place; the kernel releases the lock when its holder
// ends, however it ends.
//
// Taking the lock waits up to `wait`, retrying; a writer that does not get
// it must change nothing and say so.
class AccountsLock
{
public:
    enum class Status {
        Held,        // this object holds the lock until it is destroyed
        Busy,        // another writer held it for the whole wait
        Unavailable, // the lock file could not be opened or made
    };

    static constexpr std::chrono::milliseconds DefaultWait{5000};

    // Takes the lock of the directory that holds `accountsFile`.
    explicit AccountsLock(const std::string &accountsFile, std::chrono::milliseconds wait = DefaultWait);
    ~AccountsLock();
    AccountsLock(const AccountsLock &) = delete;
    AccountsLock &operator=(const AccountsLock &) = delete;

    Status status() const { return m_status; }
    bool held() const { return m_status == Status::Held; }
    const std::string &lockFile() const { return m_lockFile; }

    // The lock file that guards `accountsFile`.
    static std::string lockFileFor(const std::string &accountsFile);

private:
    std::string m_lockFile;
    int m_fd = -1;
    Status m_status = Status::Unavailable;
};
