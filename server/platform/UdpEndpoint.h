#pragma once

#include "ReceiveBatch.h"
#include "SendBatch.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <vector>

class QSocketNotifier;

// The server's one IPv4 UDP socket.
//
// Receiving: whenever the OS socket is readable, every datagram waiting in
// the kernel is moved into the wrapper's own queue, whole and with its
// sender's address, and DataArrival is raised once per datagram with that
// datagram's size. Readers take datagrams from the wrapper's queue with
// GetData, so a reader that declines an arrival never leaves anything stuck
// in the kernel. The queue is bounded: when it is full the oldest datagram
// is dropped to make room. Each datagram keeps the kernel's receive time
// (real-time clock, nanoseconds), so a reader can tell how long it waited
// by comparing it with the newest one taken in.
//
// Re-entrancy: a DataArrival handler may run the event loop (processEvents).
// Datagrams that arrive meanwhile are still moved into the queue at once,
// but their DataArrival is raised only after the running handler has
// returned, from the same loop; so handlers never nest inside one another
// and the stack never grows with the traffic.
//
// Sending: sendDatagram sends one datagram to RemoteHost at RemotePort at
// once. queueDatagram holds datagrams back to go out together, in order,
// when flushSends runs: before the event loop sleeps, after each
// DataArrival handler, before close, when a batch is full, and whenever the
// owner calls it (before it lets other events run). Errors that only
// concern one destination (a pilot gone away, an unreachable network, a
// full send buffer) fail that send and nothing else; every datagram that
// could not be sent is reported to the unsent handler (see SendBatch for
// how a full send buffer is waited for).
//
// Closed is raised only when the socket fails for good on its own; never
// by Close() and never for a per-destination error.
class UdpEndpoint : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultQueueLimit = 4096;

    explicit UdpEndpoint(QObject *parent = nullptr);
    ~UdpEndpoint() override;

    // Binds 0.0.0.0:localPort (0 lets the system choose; see LocalPort).
    // The address is not shared: a port already bound by anyone fails with
    // the system's text, e.g. "Address already in use". Fails too when this
    // wrapper is already bound.
    bool bind(quint16 localPort, QString *errorText);
    bool isBound() const { return m_fd >= 0; }
    quint16 localPort() const;
    // The system's descriptor, -1 when not bound. Owned by the wrapper.
    int socketDescriptor() const { return m_fd; }

    // The host's IPv4 address: the first one of an interface that is up and
    // not a loopback, else "127.0.0.1".
    QString localAddress() const;

    void setRemotePort(quint16 port) { m_remotePort = port; }
    quint16 remotePort() const { return m_remotePort; }
    void setRemoteHost(const QString &dottedIPv4) { m_remoteHost = dottedIPv4; }
    QString remoteHost() const { return m_remoteHost; }

    // Sends bytes (at most 65507) as one datagram to RemoteHost:RemotePort.
    // False when not bound, when the host is not dotted IPv4 text, when the
    // port is 0, or when the system refuses the datagram; the reason is then
    // in lastErrorNumber()/lastErrorText().
    bool sendDatagram(const QByteArray &bytes);
    // Holds one datagram for `to` (IPv4, network byte order) at RemotePort.
    // False, holding nothing, when not bound or the port is 0.
    bool queueDatagram(quint32 toAddress, const char *data, qsizetype size, bool dropWhenFull);
    void flushSends();
    void setUnsentHandler(SendBatch::UnsentHandler handler) { m_sendBatch.setUnsentHandler(std::move(handler)); }
    int lastErrorNumber() const { return m_lastErrorNumber; }
    QString lastErrorText() const { return m_lastErrorText; }

    // The wrapper's queue.
    bool hasPendingDatagrams() const { return !m_queue.empty(); }
    int pendingDatagramCount() const { return int(m_queue.size()); }
    // The size of the oldest queued datagram; 0 when none (or when it is
    // empty: use hasPendingDatagrams to tell the two apart).
    qint64 headDatagramSize() const;
    // Takes the oldest queued datagram. False, with an error number and
    // text, when the queue is empty or the socket is closed.
    bool takeDatagram(QByteArray *bytes, QString *senderIP, int *errorNumber, QString *errorText,
                      qint64 *arrivalNs = nullptr);
    // The kernel receive time of the newest datagram taken in from the
    // socket, 0 before the first.
    qint64 newestArrivalNs() const { return m_newestArrivalNs; }
    // Now, on the clock of the receive times: the kernel's real-time clock,
    // read with the system call itself, so that a tool which shifts or
    // speeds up the process's clock functions (a test harness) cannot move
    // it. Never before the newest arrival taken in; that newest arrival
    // whenever the reading is implausibly far from it.
    qint64 arrivalClockNowNs() const;

    // Moves what waits in the system's socket into the queue now, as a
    // readable socket would; their DataArrival is raised after the running
    // handler returns, or from the event loop when none runs. Cheap when
    // nothing waits. Receive errors are left for the next round.
    void takeInWaiting();

    // At least 1. Lowering it below the current count drops the oldest.
    void setQueueLimit(int datagrams);
    int queueLimit() const { return m_queueLimit; }
    // Datagrams dropped since Bind because the queue was full.
    quint64 droppedDatagrams() const { return m_dropped; }

    // Closes the socket and empties the queue; pending DataArrival
    // notifications are not raised. Safe to call more than once.
    void close();

    // Raises DataArrival(size) later, from the event loop.
    void raiseArrivalLater(qint64 size);

signals:
    void dataArrival(qint64 bytesTotal);
    void closed();

private:
    struct Datagram
    {
        QByteArray bytes;
        QString senderIP;
        qint64 arrivalNs = 0;
    };
    void socketReadable();
    bool drainKernelQueue();
    int receiveBatch();
    QString senderText(const sockaddr_in &from, socklen_t length);
    bool sendFailed(int errorNumber);
    void discardErrorQueue();
    void enqueue(Datagram datagram);
    void announce(qint64 size);
    void raiseArrivals();
    void failForGood(int errorNumber);
    void setLastError(int errorNumber);

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    ReceiveBatch m_receiveBatch;
    QHash<quint32, QString> m_senderTexts;
    qint64 m_newestArrivalNs = 0;
    SendBatch::SocketTransport m_transport{m_fd};
    SendBatch m_sendBatch{m_transport};
    std::deque<Datagram> m_queue;
    std::deque<qint64> m_arrivals;
    int m_queueLimit = DefaultQueueLimit;
    quint64 m_dropped = 0;
    bool m_raising = false;
    quint16 m_remotePort = 0;
    QString m_remoteHost;
    int m_lastErrorNumber = 0;
    QString m_lastErrorText;
};
