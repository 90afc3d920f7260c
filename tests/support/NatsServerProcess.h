#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// A nats-server for integration tests, listening on 127.0.0.1 only, at a
// port the test chose (so that a restart comes back at the same URL). It
// can join a cluster of two through a route to the other's cluster port.
//
// Every wait is bounded. The process is killed when this object is
// destroyed, and when the test itself dies (parent-death signal).
class NatsServerProcess
{
public:
    // The nats-server at `preferred` when it is an executable file, else the
    // one on PATH or in /usr/sbin; empty when there is none.
    static QString findBinary(const QString &preferred);

    NatsServerProcess(const QString &binary, quint16 clientPort);
    ~NatsServerProcess();
    NatsServerProcess(const NatsServerProcess &) = delete;
    NatsServerProcess &operator=(const NatsServerProcess &) = delete;

    // Takes part in a cluster: listens for routes at clusterPort and keeps
    // a route to the other server's cluster port. Set it before start().
    void setCluster(quint16 clusterPort, quint16 otherClusterPort);

    // Starts the server and waits until it says it is ready; false (the
    // process ended) when it is not within timeoutMs.
    bool start(int timeoutMs);
    // True once the server reports a route to the other server.
    bool waitForRoute(int timeoutMs);
    // SIGKILL, and waits until it is gone.
    void kill();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("nats://127.0.0.1:") + QString::number(m_port); }
    // Everything it has said so far (it logs to standard error).
    QByteArray output();

private:
    bool waitForOutput(const QByteArray &text, qsizetype from, int timeoutMs);

    QString m_binary;
    quint16 m_port;
    quint16 m_clusterPort = 0;
    quint16 m_otherClusterPort = 0;
    QProcess m_process;
    QByteArray m_output;
    qsizetype m_runStart = 0; // where the current run's output begins
};
