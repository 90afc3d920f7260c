#pragma once

#include "RegistryCheckpoint.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class ServerContext;

// Keeps the registry's checkpoint (RegistryCheckpoint) in a file, for a run
// with "KeepPilotsOnRestart" on. At start-up it restores the registry from
// the file the previous run left; while the server runs it writes the file
// at most once a second, and only after the registry, a heartbeat or the
// server-ID counter changed; at a clean stop it writes it once more.
//
// The file is replaced in one step (AtomicFile), readable by its owner only.
// A checkpoint that cannot be restored (too old, other ports, damaged,
// unreadable, no regular file) is renamed aside to "<file>.rejected", so it
// is neither tried again nor lost to whoever wants to look at it, and the
// reason goes to the log and standard error. A write that fails is said on
// standard error once, until a write succeeds again; the relay runs on.
class CheckpointKeeper : public QObject
{
    Q_OBJECT

public:
    static constexpr int WriteIntervalMs = 1000;

    // The file in `stateDirectory` for the server named `instanceName`.
    static QString filePath(const QString &stateDirectory, const QString &instanceName);
    // $STATE_DIRECTORY (its first entry) where the service manager sets it,
    // else `fallback`.
    static QString stateDirectory(const QString &fallback);

    // `context` must outlive the keeper.
    CheckpointKeeper(ServerContext &context, QString path, RegistryCheckpoint::Setup setup, QObject *parent = nullptr);

    // Restores what the file holds into the empty registry; returns the
    // number of players restored (0 with no file, or one set aside).
    int restoreAtStart(qint64 wallNowMs);

    // Starts the periodic writes.
    void start();
    // Writes the registry as it stands now, whether it changed or not; false
    // when the write failed.
    bool writeNow(qint64 wallNowMs);

    QString path() const { return m_path; }
    // The sky run of the checkpoint restored at start; node 0 when none.
    const RegistryCheckpoint::SkyRun &restoredSkyRun() const { return m_restoredSkyRun; }

private:
    void onTick();
    size_t fingerprint() const;
    void setAside(const QString &reason);
    void tellOperator(const QString &text, std::FILE *stream);

    ServerContext &m_context;
    QString m_path;
    RegistryCheckpoint::Setup m_setup;
    QTimer m_timer;
    size_t m_written = 0; // fingerprint of what the file holds
    bool m_everWritten = false;
    bool m_failing = false;
    RegistryCheckpoint::SkyRun m_restoredSkyRun;
};
