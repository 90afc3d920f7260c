#pragma once

#include <QString>

// Refuses a second running copy of the program on this machine.
//
// The first copy to call tryAcquire with a name holds it until the object is
// destroyed or the process ends in any way, kill -9 included: the name is an
// abstract Unix-domain socket address, which the kernel frees with the last
// descriptor. Trying touches no file, so a refused copy leaves no trace.
class SingleInstance
{
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this object now holds the name (or already held it). False
    // when another holder has it, or when the system refused the socket; in
    // that case errorText() gives the system's reason, and it is empty when
    // the name is simply taken. Names longer than 107 bytes (UTF-8) are cut.
    bool tryAcquire(const QString &name);
    bool isHeld() const { return m_fd >= 0; }
    QString errorText() const { return m_errorText; }

    // The name this server holds: VENTORO_INSTANCE when it is set and not
    // empty, so that a second server on other ports (or a test run) can live
    // beside the first, else "ventoro-server". Tools find the server by it.
    static QString nameFromEnvironment();

    // Gives the name up; another copy may take it from now on.
    void release();

private:
    int m_fd = -1;
    QString m_errorText;
};
