#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// The server binary run as a black box. The binary is copied into a fresh
// temporary program directory, next to which tests write the settings
// files; it then runs in a chosen working directory (the program directory
// unless set) with QT_QPA_PLATFORM=offscreen.
//
// Every wait is bounded. Whatever a test does, the process has ended when
// this object is destroyed: SIGTERM first, SIGKILL after a grace period;
// and when the test itself is killed, the system kills the process too.
class ServerProcess
{
public:
    static constexpr int DefaultGraceMs = 5000;

    explicit ServerProcess(const QString &binaryPath);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // False when the program directory or the copy of the binary could not
    // be made; errorText() says why.
    bool isValid() const { return m_valid; }
    QString errorText() const { return m_errorText; }

    QString programDir() const { return m_dir.path(); }
    QString programPath() const { return m_programPath; }

    // Writes a file into the program directory, bytes as given.
    bool writeProgramFile(const QString &fileName, const QByteArray &content);
    bool writeServerIni(const QByteArray &content) { return writeProgramFile(QStringLiteral("VentoroServer.ini"), content); }
    bool writeUserIni(const QByteArray &content) { return writeProgramFile(QStringLiteral("user.ini"), content); }

    void setWorkingDirectory(const QString &directory) { m_workingDirectory = directory; }
    QString workingDirectory() const;
    // The environment the process starts with; change it before start().
    QProcessEnvironment &environment() { return m_environment; }

    // A command the program is started under, its path and arguments
    // appended (e.g. "ip netns exec NAME", which runs it in a network
    // namespace as the same process); empty for none. Set it before start().
    void setLauncher(const QStringList &command) { m_launcher = command; }

    // A limit on the size of every file the process writes (RLIMIT_FSIZE),
    // as a full disk would set it; 0 for none. Set it before start().
    void setFileSizeLimit(qint64 bytes) { m_fileSizeLimit = bytes; }

    // Runs in the child between fork and exec (only async-signal-safe calls:
    // dup2, fcntl, close), e.g. to hand descriptors over. Set it before
    // start(); empty for none.
    void setChildSetup(std::function<void()> setup) { m_childSetup = std::move(setup); }

    bool start(const QStringList &arguments = {});
    // Sends a signal to the running process; false when it is not running.
    bool sendSignal(int signalNumber);
    // The process's resident memory in kB (VmRSS), or the most it has had
    // (VmHWM) when `peak`; 0 when unknown.
    qint64 residentKilobytes(bool peak = false) const;
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }

    // True once the process holds a UDP socket bound to port, or its log in
    // the working directory reports it listening; false when it ends first
    // or timeoutMs passes.
    bool waitUntilListening(quint16 port, int timeoutMs);
    // True once text appears in log.txt of the working directory.
    bool waitForLog(const QByteArray &text, int timeoutMs);
    bool waitForFinished(int timeoutMs);

    // Ends the process: SIGTERM, then SIGKILL if it is still running after
    // graceMs. True when it ended within the grace period (or was not
    // running).
    bool stop(int graceMs = DefaultGraceMs);

    // Valid once the process has ended.
    int exitCode() const { return m_process.exitCode(); }
    bool exitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }

    // Everything the process has written so far.
    QByteArray standardError();
    QByteArray standardOutput();
    QByteArray logText() const;

private:
    bool holdsUdpPort(quint16 port) const;
    void collectOutput();

    QTemporaryDir m_dir;
    bool m_valid = false;
    QString m_errorText;
    QString m_programPath;
    QString m_workingDirectory;
    QProcessEnvironment m_environment;
    QStringList m_launcher;
    qint64 m_fileSizeLimit = 0;
    std::function<void()> m_childSetup;
    QProcess m_process;
    QByteArray m_standardError;
    QByteArray m_standardOutput;
};
