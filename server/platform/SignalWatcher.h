#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal delivered by the event loop, so
// the server can end in order (socket closed, log flushed) when it is
// stopped from outside. One watcher per process.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void stopRequested(int signalNumber);

private:
    void readSignal();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
