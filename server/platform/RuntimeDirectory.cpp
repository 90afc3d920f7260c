#include "RuntimeDirectory.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int MaxInstanceChars = 64;

QString xdgCandidate()
{
    const QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !base.startsWith(QLatin1Char('/')))
        return QString();
    struct stat info {};
    // The session's own directory: a real directory of this user that
    // nobody else can enter.
    if (::lstat(QFile::encodeName(base).constData(), &info) != 0 || !S_ISDIR(info.st_mode)
        || info.st_uid != ::geteuid() || (info.st_mode & 0077) != 0)
        return QString();
    return base + QStringLiteral("/ventoro");
}

QString tmpCandidate()
{
    return QStringLiteral("/tmp/ventoro-%1").arg(::geteuid());
}

// This user's private directories beside a taken tmpCandidate(), oldest
// name first: "/tmp/ventoro-UID-XXXXXX", made by mkdtemp, mode 0700.
QStringList privateTmpDirectories()
{
    const QString prefix = QStringLiteral("ventoro-%1-").arg(::geteuid());
    const QStringList names = QDir(QStringLiteral("/tmp")).entryList({prefix + QLatin1Char('*')},
                                                                      QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                                                      QDir::Name);
    QStringList own;
    for (const QString &name : names) {
        const QString path = QStringLiteral("/tmp/") + name;
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
            && info.st_uid == ::geteuid() && (info.st_mode & 0077) == 0)
            own.append(path);
    }
    return own;
}

// Where a server goes when another user holds /tmp/ventoro-UID (anyone may
// make a name in /tmp first): the directory an earlier run of this user
// made there, so that a second copy still finds the first one's lock, else
// a new one whose name nobody can guess in advance.
QString privateTmpDirectory(QString *error)
{
    const QStringList existing = privateTmpDirectories();
    if (!existing.isEmpty())
        return existing.first();
    QByteArray pattern = QFile::encodeName(tmpCandidate()) + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        *error = QStringLiteral("cannot make a private directory in /tmp (%1)").arg(qt_error_string(errno));
        return QString();
    }
    return QFile::decodeName(pattern);
}

bool ownedBy(const QString &path, uid_t uid)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid;
}

// Makes `path` private to this user when missing; when it exists it must be
// this user's own directory that nobody else can write.
bool makeOwn(const QString &path, mode_t mode, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), mode) == 0) {
        // The umask may have taken bits away; nothing else could have added any.
        ::chmod(native.constData(), mode);
        return true;
    }
    if (errno != EEXIST) {
        *error = QStringLiteral("cannot make %1 (%2)").arg(path, qt_error_string(errno));
        return false;
    }
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()
        || (info.st_mode & 0022) != 0) {
        *error = QStringLiteral("%1 is not a directory of this user that only this user can write; remove it, or "
                                "run from a session with XDG_RUNTIME_DIR")
                     .arg(path);
        return false;
    }
    return true;
}

} // namespace

QString RuntimeDirectory::instanceName()
{
    const QString name = qEnvironmentVariable("VENTORO_INSTANCE");
    return name.isEmpty() ? QLatin1String(DefaultInstance) : name;
}

bool RuntimeDirectory::isValidInstanceName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxInstanceChars || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('_')
            || c == QLatin1Char('-');
        if (!allowed)
            return false;
    }
    return true;
}

QString RuntimeDirectory::prepareForServer(QString *error)
{
    const QString system = QLatin1String(SystemPath);
    if (::geteuid() == 0 || ownedBy(system, ::geteuid())) {
        // Others may look in to find the control socket; only its owner writes.
        return makeOwn(system, 0755, error) ? system : QString();
    }
    const QString session = xdgCandidate();
    const QString chosen = session.isEmpty() ? tmpCandidate() : session;
    if (makeOwn(chosen, 0700, error))
        return chosen;
    if (!session.isEmpty())
        return QString();
    // Someone else took the name in /tmp: that must not keep this user's
    // server from starting.
    return privateTmpDirectory(error);
}

QStringList RuntimeDirectory::clientCandidates()
{
    QStringList candidates{QLatin1String(SystemPath)};
    if (::geteuid() == 0)
        return candidates; // a server run by root always lives there
    const QString session = xdgCandidate();
    if (!session.isEmpty())
        candidates.append(session);
    candidates.append(tmpCandidate());
    candidates += privateTmpDirectories();
    return candidates;
}

bool RuntimeDirectory::isTrusted(const QString &path, uid_t *owner, QString *why)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *why = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    const bool ownerTrusted = info.st_uid == 0 || info.st_uid == ::geteuid() || path == QLatin1String(SystemPath);
    if (!S_ISDIR(info.st_mode) || (info.st_mode & 0022) != 0 || !ownerTrusted) {
        *why = QStringLiteral("%1 is not a directory that only root or its owner can write").arg(path);
        return false;
    }
    *owner = info.st_uid;
    return true;
}

QString RuntimeDirectory::lockPath(const QString &directory, const QString &instance)
{
    return directory + QLatin1Char('/') + instance + QStringLiteral(".lock");
}

QString RuntimeDirectory::controlPath(const QString &directory, const QString &instance)
{
    return directory + QLatin1Char('/') + instance + QStringLiteral(".control");
}
