#pragma once

#include "Endpoint.h"
#include "ReceiveBatch.h"
#include "SendBatch.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>

class QSocketNotifier;

// The server's one UDP socket: dual-stack (IPv6, taking IPv4 peers in
// their mapped form) where the system has IPv6, IPv4 alone where it has
// none. Every datagram is received on it and every record leaves from it,
// so answers come from the address and port pilots send to.
//
// Receiving: whenever the OS socket is readable, every datagram waiting in
// the kernel is moved into the wrapper's own queue, whole and with its
// sender's endpoint, and dataArrival is raised once per datagram with that
// datagram's size. Readers take datagrams from the wrapper's queue with
// takeDatagram, so a reader that declines an arrival never leaves anything
// stuck in the kernel. The queue is bounded: when it is full the oldest
// datagram is dropped to make room. Each datagram keeps the kernel's
// receive time (real-time clock, nanoseconds), so a reader can tell how
// long it waited by comparing it with the newest one taken in.
//
// Re-entrancy: a dataArrival handler may run the event loop (processEvents).
// Datagrams that arrive meanwhile are still moved into the queue at once,
// but their dataArrival is raised only after the running handler has
// returned, from the same loop; so handlers never nest inside one another
// and the stack never grows with the traffic.
//
// Sending: queueDatagram holds datagrams back to go out together when
// flushSends runs: before the event loop sleeps, once the dataArrival
// handlers of a round of arrivals have all returned (so the records a round
// sends to one pilot go out grouped), between them once the oldest held
// datagram has waited MaxHold, before close, when the batch is full, and
// whenever the owner calls it (before it lets other events run). Datagrams
// for one destination keep their order. Errors that only
// concern one destination (a pilot gone away, an unreachable network, a
// full send buffer, a port the system refuses) fail those datagrams and
// nothing else; every datagram that could not be sent is reported to the
// unsent handler (see SendBatch for how a full send buffer is waited for,
// and for what happens where the system refuses grouped messages: said
// once on standard error).
//
// closed is raised only when the socket fails for good on its own; never
// by close() and never for a per-destination error.
class UdpEndpoint : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultQueueLimit = 4096;
    static constexpr std::chrono::microseconds MaxHold{2000};

    explicit UdpEndpoint(QObject *parent = nullptr);
    ~UdpEndpoint() override;

    // Binds every address at localPort (0 lets the system choose; see
    // localPort()), IPv6 and IPv4 alike where the system has IPv6. The port
    // is not shared: one already bound by anyone, for either family, fails
    // with the system's text, e.g. "Address already in use". Fails too when
    // this wrapper is already bound. Finds out here whether, and how many,
    // records the system takes in one grouped message.
    bool bind(quint16 localPort, QString *errorText);
    bool isBound() const { return m_fd >= 0; }
    quint16 localPort() const;
    // The system's descriptor, -1 when not bound. Owned by the wrapper.
    int socketDescriptor() const { return m_fd; }

    // The host's IPv4 address: the first one of an interface that is up and
    // not a loopback, else "127.0.0.1".
    QString localAddress() const;

    // Holds one datagram for `to`. False, holding nothing, when not bound,
    // when the port is 0, or when the socket cannot reach that family (an
    // IPv6 endpoint on an IPv4-only socket).
    bool queueDatagram(const Endpoint &to, const char *data, qsizetype size, bool dropWhenFull);
    void flushSends();
    void setUnsentHandler(SendBatch::UnsentHandler handler) { m_sendBatch.setUnsentHandler(std::move(handler)); }

    // The wrapper's queue.
    bool hasPendingDatagrams() const { return !m_queue.empty(); }
    int pendingDatagramCount() const { return int(m_queue.size()); }
    // Takes the oldest queued datagram. False, with an error number and
    // text, when the queue is empty or the socket is closed.
    bool takeDatagram(QByteArray *bytes, Endpoint *sender, int *errorNumber, QString *errorText,
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
    // readable socket would; their dataArrival is raised after the running
    // handler returns, or from the event loop when none runs. Cheap when
    // nothing waits. Receive errors are left for the next round.
    void takeInWaiting();

    // At least 1. Lowering it below the current count drops the oldest.
    void setQueueLimit(int datagrams);
    int queueLimit() const { return m_queueLimit; }
    // Datagrams dropped since bind: the queue was full, or they could never
    // be kept (larger than any buffer, or from no address this socket has).
    quint64 droppedDatagrams() const { return m_dropped; }

    // Sends what is held back, closes the socket and empties the queue;
    // pending dataArrival notifications are not raised. Safe to call more
    // than once.
    void close();

    // Raises dataArrival(size) later, from the event loop.
    void raiseArrivalLater(qint64 size);

signals:
    void dataArrival(qint64 bytesTotal);
    void closed();

private:
    struct Datagram
    {
        QByteArray bytes;
        Endpoint sender;
        qint64 arrivalNs = 0;
    };
    void socketReadable();
    bool drainKernelQueue();
    int receiveBatch();
    void sendFailed(int errorNumber);
    void discardErrorQueue();
    void flushIfHeldLong();
    void enqueue(Datagram datagram);
    void announce(qint64 size);
    void raiseArrivals();
    void failForGood();

    int m_fd = -1;
    int m_family = AF_INET6;
    QSocketNotifier *m_notifier = nullptr;
    ReceiveBatch m_receiveBatch;
    qint64 m_newestArrivalNs = 0;
    SendBatch::SocketTransport m_transport{m_fd};
    SendBatch m_sendBatch{m_transport};
    std::chrono::steady_clock::time_point m_heldSince{};
    std::deque<Datagram> m_queue;
    std::deque<qint64> m_arrivals;
    int m_queueLimit = DefaultQueueLimit;
    quint64 m_dropped = 0;
    bool m_raising = false;
};
