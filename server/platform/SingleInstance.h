#pragma once

#include <QString>

// Refuses a second running copy of the program.
//
// The first copy to call tryAcquire with a lock file holds an advisory lock
// on it until the object is destroyed or the process ends in any way, kill -9
// included: the kernel drops the lock with the last descriptor. The file
// lives in a directory only the server's user can write (see
// RuntimeDirectory), so nobody else can hold it first. It holds the holder's
// process ID, for people; release() removes it.
class SingleInstance
{
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this object now holds the lock (or already held it). False
    // when another holder has it, or when the file cannot be opened; in that
    // case errorText() gives the system's reason, and it is empty when the
    // lock is simply taken.
    bool tryAcquire(const QString &lockPath);
    bool isHeld() const { return m_fd >= 0; }
    QString errorText() const { return m_errorText; }

    // The process ID a holder wrote into the lock file, for the operator; 0
    // when the file cannot be read or holds no process ID. Reads at most a
    // line of a regular file and never follows a link.
    static qint64 holderProcessId(const QString &lockPath);

    // Removes the file and gives the lock up; another copy may take it from
    // now on.
    void release();

private:
    int m_fd = -1;
    QString m_path;
    QString m_errorText;
};
