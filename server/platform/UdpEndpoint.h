#pragma once

#include "ArrivalQueue.h"
#include "Endpoint.h"
#include "ReceiveBatch.h"
#include "SendBatch.h"

#include <QByteArray>
#include <QObject>
#include <QString>


class QSocketNotifier;

// The server's one UDP socket: dual-stack (IPv6, taking IPv4 peers in
// their mapped form) where the system has IPv6, IPv4 alone where it has
// none. Every datagram is received on it and every record leaves from it,
// so answers come from the address and port pilots send to.
//
// Receiving: whenever the OS socket is readable, what waits in the kernel
// is moved into the arrival queue it was given (see ArrivalQueue: whole
// records only, bounded, each with its sender's endpoint and the kernel's
// receive time), and dataArrival is raised once for the round. Only the
// first 128 bytes of a datagram are ever copied out of the kernel. A
// datagram that cannot be kept is dropped and counted (droppedDatagrams):
// one from no address this socket has, and one whose source is an
// IPv4-mapped address but which came as IPv6 (only IPv4 packets may stand
// for an IPv4 sender; anyone can write such a source into an IPv6 packet).
// A handler of dataArrival may run the event loop: what arrives meanwhile is
// queued, and dataArrival raised again once the handler has returned.
//
// Sending: queueDatagram holds datagrams back to go out together when
// flushSends runs: before the event loop sleeps, once the dataArrival
// handlers of a round of arrivals have all returned (so the records a round
// sends to one pilot go out grouped), before close, when the batch is full,
// and whenever the owner calls it (before it lets other events run).
// Datagrams for one destination keep their order. Errors that only
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
    // Received datagrams go to `arrivals`, which must outlive the socket.
    explicit UdpEndpoint(ArrivalQueue &arrivals, QObject *parent = nullptr);
    ~UdpEndpoint() override;

    // Binds every address at localPort (0 lets the system choose; see
    // localPort()), IPv6 and IPv4 alike where the system has IPv6. The port
    // is not shared: one already bound by anyone, for either family, fails
    // with the system's text, e.g. "Address already in use". Fails too when
    // this wrapper is already bound. Finds out here whether, and how many,
    // records the system takes in one grouped message.
    bool bind(quint16 localPort, QString *errorText);
    // Takes over a socket an earlier run of the server bound (the service
    // manager kept it across the restart), when it is what bind() would
    // make for localPort: UDP, every address, dual-stack where it is IPv6.
    // What waits in its kernel queue is received as usual. False, with the
    // reason in `why` and `fd` left to the caller, otherwise; true, and
    // the wrapper owns `fd`, when taken.
    bool adopt(int fd, quint16 localPort, QString *why);
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
    bool queueDatagram(const Endpoint &to, const char *data, qsizetype size, Sender::WhenFull whenFull);
    void flushSends();
    void setUnsentHandler(SendBatch::UnsentHandler handler) { m_sendBatch.setUnsentHandler(std::move(handler)); }

    // Datagrams dropped since bind that could never be kept: from no
    // address this socket has, or IPv4-mapped sources that came as IPv6
    // (those are also in droppedMappedSources). The queue counts its own.
    quint64 droppedDatagrams() const { return m_dropped; }
    quint64 droppedMappedSources() const { return m_droppedMapped; }

    // Sends what is held back and closes the socket; what waits in the
    // arrival queue stays there. Safe to call more than once.
    void close();

signals:
    void dataArrival();
    void closed();

private:
    static bool configure(int fd, int family);
    void takeOver(int fd, int family, bool toldFamily);
    void socketReadable();
    void raiseArrivals();
    bool drainKernelQueue();
    int receiveBatch();
    void sendFailed(int errorNumber);
    void discardErrorQueue();
    void failForGood();

    ArrivalQueue &m_arrivals;
    int m_fd = -1;
    int m_family = AF_INET6;
    bool m_toldFamily = false; // IP_PKTINFO on: IPv4 packets are marked as such
    QSocketNotifier *m_notifier = nullptr;
    ReceiveBatch m_receiveBatch;
    SendBatch::SocketTransport m_transport{m_fd};
    SendBatch m_sendBatch{m_transport};
    quint64 m_dropped = 0;
    quint64 m_droppedMapped = 0;
    bool m_raising = false;
    bool m_raiseAgain = false;
};
