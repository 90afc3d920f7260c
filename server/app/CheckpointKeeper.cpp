#include "CheckpointKeeper.h"

#include "AtomicFile.h"
#include "RuntimeDirectory.h"
#include "ServerContext.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr mode_t OwnerOnly = 0600;

} // namespace

QString CheckpointKeeper::filePath(const QString &stateDirectory, const QString &instanceName)
{
    // Servers beside each other (VENTORO_INSTANCE) keep checkpoints apart.
    const QString name = instanceName == QLatin1String(RuntimeDirectory::DefaultInstance)
        ? QStringLiteral("registry.checkpoint")
        : QStringLiteral("registry-") + instanceName + QStringLiteral(".checkpoint");
    return stateDirectory + QLatin1Char('/') + name;
}

QString CheckpointKeeper::stateDirectory(const QString &fallback)
{
    // The service manager may list several directories, separated by ":".
    const QString listed = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return listed.isEmpty() ? fallback : listed;
}

CheckpointKeeper::CheckpointKeeper(ServerContext &context, QString path, RegistryCheckpoint::Setup setup,
                                   QObject *parent)
    : QObject(parent), m_context(context), m_path(std::move(path)), m_setup(setup)
{
    m_timer.setInterval(WriteIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &CheckpointKeeper::onTick);
}

int CheckpointKeeper::restoreAtStart(qint64 wallNowMs)
{
    const AtomicFile::ReadResult read =
        AtomicFile::readAll(QFile::encodeName(m_path).toStdString(), size_t(RegistryCheckpoint::MaxBytes));
    if (read.status == AtomicFile::ReadStatus::Missing)
        return 0;
    if (read.status != AtomicFile::ReadStatus::Ok) {
        setAside(QStringLiteral("it cannot be read: ")
                 + QString::fromStdString(read.failureText(size_t(RegistryCheckpoint::MaxBytes))));
        return 0;
    }
    const RegistryCheckpoint::Decoded decoded = RegistryCheckpoint::decode(QByteArray::fromStdString(read.bytes));
    if (!decoded.checkpoint) {
        setAside(decoded.problem);
        return 0;
    }
    const RegistryCheckpoint::Restored restored =
        RegistryCheckpoint::restore(m_context, *decoded.checkpoint, m_setup, wallNowMs);
    if (!restored.problem.isEmpty()) {
        setAside(restored.problem);
        return 0;
    }
    m_context.counters.playersRestored = quint64(restored.players);
    m_restoredSkyRun = decoded.checkpoint->sky;
    tellOperator(QStringLiteral("Restored %1 players from the previous run (gap %2 ms)")
                     .arg(QString::number(restored.players), QString::number(restored.gapMs)),
                 stdout);
    return restored.players;
}

void CheckpointKeeper::start()
{
    m_timer.start();
}

bool CheckpointKeeper::writeNow(qint64 wallNowMs)
{
    const size_t print = fingerprint();
    const QByteArray bytes =
        RegistryCheckpoint::encode(RegistryCheckpoint::capture(m_context, m_setup, wallNowMs));
    if (!AtomicFile::replaceContents(QFile::encodeName(m_path).toStdString(), bytes.toStdString(), OwnerOnly)) {
        if (!m_failing)
            std::fprintf(stderr, "VentoroServer: cannot write the registry checkpoint %s (%s); a restart now "
                                 "would begin with no players\n",
                         qPrintable(m_path), std::strerror(errno));
        std::fflush(stderr);
        m_failing = true;
        return false;
    }
    m_failing = false;
    m_written = print;
    m_everWritten = true;
    return true;
}

void CheckpointKeeper::onTick()
{
    if (m_everWritten && fingerprint() == m_written)
        return;
    writeNow(QDateTime::currentMSecsSinceEpoch());
}

// What a write would change: the counter, and each player with its
// heartbeat. A walk costs far less than a write.
size_t CheckpointKeeper::fingerprint() const
{
    size_t print = qHash(m_context.LastServerID);
    m_context.players.forEach([&print](const PlayerPtr &player) {
        if (player->node == 0)
            print = qHashMulti(print, player->serverId, player->HeartBeat, player->SentPlaneType, player->Handle);
    });
    return print;
}

void CheckpointKeeper::setAside(const QString &reason)
{
    const QString aside = m_path + QStringLiteral(".rejected");
    // The path itself is renamed, never what a link there points to.
    const bool moved = std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) == 0;
    const QString outcome = moved ? QStringLiteral("; it was renamed to ") + aside
                                  : QStringLiteral("; it could not be renamed aside (")
                                        + QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(")");
    tellOperator(QStringLiteral("Did not restore the players of the previous run: the checkpoint ") + m_path
                     + QLatin1Char(' ') + reason + outcome,
                 stderr);
}

void CheckpointKeeper::tellOperator(const QString &text, std::FILE *stream)
{
    if (m_context.ordinaryLinesOn())
        m_context.logEvent(text);
    std::fprintf(stream, "VentoroServer: %s\n", qPrintable(text));
    std::fflush(stream);
}
