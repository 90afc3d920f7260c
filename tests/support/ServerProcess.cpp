#include "ServerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int PollSliceMs = 20;
constexpr int KillWaitMs = 5000;

const QByteArray ListeningLine = " - Listening on ";

// The inodes of every UDP socket bound to port, IPv4 and IPv6, from the
// kernel's tables as the process with `pid` sees them (its own network
// namespace).
QList<QByteArray> udpSocketInodes(quint16 port, qint64 pid)
{
    QList<QByteArray> inodes;
    const QByteArray portHex = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *name : {"udp", "udp6"}) {
        QFile table(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(name)));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        table.readLine(); // column titles
        while (!table.atEnd()) {
            // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
            const QList<QByteArray> fields = table.readLine().simplified().split(' ');
            if (fields.size() < 10)
                continue;
            if (fields.at(1).endsWith(':' + portHex))
                inodes.append(fields.at(9));
        }
    }
    return inodes;
}

} // namespace

ServerProcess::ServerProcess(const QString &binaryPath)
{
    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Servers of one test program share a lock of their own, so a server
    // left running elsewhere (or another test program) does not refuse them.
    m_environment.insert(QStringLiteral("VENTORO_INSTANCE"),
                         QStringLiteral("ventoro-test-%1").arg(QCoreApplication::applicationPid()));
    if (!m_dir.isValid()) {
        m_errorText = m_dir.errorString();
        return;
    }
    const QFileInfo binary(binaryPath);
    m_programPath = QDir(m_dir.path()).filePath(binary.fileName());
    if (!binary.isFile() || !binary.isExecutable()) {
        m_errorText = QStringLiteral("Not an executable file: %1").arg(binaryPath);
        return;
    }
    if (!QFile::copy(binaryPath, m_programPath)) {
        m_errorText = QStringLiteral("Cannot copy %1 to %2").arg(binaryPath, m_programPath);
        return;
    }
    QFile::setPermissions(m_programPath, QFile::permissions(binaryPath) | QFile::ExeOwner | QFile::ReadOwner);
    m_valid = true;
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::writeProgramFile(const QString &fileName, const QByteArray &content)
{
    QFile file(QDir(m_dir.path()).filePath(fileName));
    return m_dir.isValid() && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size() && file.flush();
}

QString ServerProcess::workingDirectory() const
{
    return m_workingDirectory.isEmpty() ? m_dir.path() : m_workingDirectory;
}

bool ServerProcess::start(const QStringList &arguments)
{
    if (!m_valid || isRunning())
        return false;
    m_standardError.clear();
    m_standardOutput.clear();
    m_process.setProgram(m_launcher.isEmpty() ? m_programPath : m_launcher.first());
    m_process.setArguments(m_launcher.isEmpty() ? arguments : m_launcher.mid(1) + QStringList{m_programPath} + arguments);
    m_process.setWorkingDirectory(workingDirectory());
    m_process.setProcessEnvironment(m_environment);
    const rlim_t limit = rlim_t(m_fileSizeLimit);
    m_process.setChildProcessModifier([limit, setup = m_childSetup] {
        if (setup)
            setup();
        const rlimit fileSize{limit, limit};
        if (limit > 0)
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
        // A test killed outright takes its server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_process.start(QIODevice::ReadOnly);
    if (!m_process.waitForStarted(KillWaitMs)) {
        m_errorText = m_process.errorString();
        return false;
    }
    return true;
}

bool ServerProcess::sendSignal(int signalNumber)
{
    return isRunning() && processId() > 0 && ::kill(pid_t(processId()), signalNumber) == 0;
}

qint64 ServerProcess::residentKilobytes(bool peak) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(processId()));
    if (processId() <= 0 || !status.open(QIODevice::ReadOnly))
        return 0;
    // /proc files report a size of 0: read them whole, not up to atEnd().
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(peak ? "VmHWM:" : "VmRSS:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    }
    return 0;
}

bool ServerProcess::waitUntilListening(quint16 port, int timeoutMs)
{
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        if (!isRunning())
            return false;
        if (holdsUdpPort(port) || logText().contains(ListeningLine))
            return true;
        if (deadline.hasExpired())
            return false;
        m_process.waitForFinished(int(qMin<qint64>(deadline.remainingTime(), PollSliceMs)));
    }
}

bool ServerProcess::waitForLog(const QByteArray &text, int timeoutMs)
{
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        if (logText().contains(text))
            return true;
        if (deadline.hasExpired())
            return false;
        if (isRunning())
            m_process.waitForFinished(int(qMin<qint64>(deadline.remainingTime(), PollSliceMs)));
        else if (!logText().contains(text))
            return false;
    }
}

bool ServerProcess::waitForFinished(int timeoutMs)
{
    if (isRunning())
        m_process.waitForFinished(qMax(0, timeoutMs));
    collectOutput();
    return !isRunning();
}

bool ServerProcess::stop(int graceMs)
{
    if (!isRunning()) {
        collectOutput();
        return true;
    }
    m_process.terminate(); // SIGTERM
    const bool ended = m_process.waitForFinished(qMax(0, graceMs));
    if (!ended) {
        m_process.kill(); // SIGKILL
        m_process.waitForFinished(KillWaitMs);
    }
    collectOutput();
    return ended;
}

QByteArray ServerProcess::standardError()
{
    collectOutput();
    return m_standardError;
}

QByteArray ServerProcess::standardOutput()
{
    collectOutput();
    return m_standardOutput;
}

QByteArray ServerProcess::logText() const
{
    QFile log(QDir(workingDirectory()).filePath(QStringLiteral("log.txt")));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

// Whether one of the process's own descriptors is a UDP socket on port.
bool ServerProcess::holdsUdpPort(quint16 port) const
{
    if (processId() <= 0)
        return false;
    const QList<QByteArray> inodes = udpSocketInodes(port, processId());
    if (inodes.isEmpty())
        return false;
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(processId()));
    const QStringList entries = descriptors.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(descriptors.filePath(entry));
        const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        const QByteArray name(target, qsizetype(length));
        for (const QByteArray &inode : inodes)
            if (name == "socket:[" + inode + "]")
                return true;
    }
    return false;
}

void ServerProcess::collectOutput()
{
    m_standardError += m_process.readAllStandardError();
    m_standardOutput += m_process.readAllStandardOutput();
}
