#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into stopRequested and SIGHUP into
// reloadRequested, delivered by the event loop, so the server can end in
// order (socket closed, log flushed) when it is stopped from outside, and
// can let go of a log file that was moved away and take in changed
// settings. SIGXFSZ is ignored while the
// watcher lives: a write beyond the file size limit then fails with EFBIG
// instead of killing the process. One watcher per process.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void stopRequested(int signalNumber);
    void reloadRequested();

private:
    void readSignal();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
