#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One datagram as a loopback client received it.
struct LoopbackDatagram
{
    QByteArray bytes;
    QString senderIP;
    quint16 senderPort = 0;
};

// A stand-in pilot for integration tests: one UDP socket bound to an address
// of 127.0.0.0/8. It sends only to loopback addresses. While it waits it
// keeps the calling thread's event loop running, so a server object in the
// same process goes on working. Every wait is bounded by its timeout.
class LoopbackClient
{
public:
    static constexpr int RecordSize = 128;

    LoopbackClient() = default;
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    // Binds address:port (port 0 lets the system choose). False, with the
    // system's reason, when the address is not a loopback address or the
    // port is taken.
    bool bind(const QString &address, quint16 port, QString *errorText = nullptr);
    bool isBound() const { return m_fd >= 0; }
    QString address() const { return m_address; }
    quint16 port() const;
    void close();

    // Sends bytes, whatever their size, as one datagram to host:port.
    bool sendDatagram(const QByteArray &bytes, quint16 port, const QString &host = QStringLiteral("127.0.0.1"));
    // Sends one record of exactly 128 bytes to 127.0.0.1:serverPort; a
    // shorter record is filled up with zero bytes, a longer one is refused.
    bool sendRecord(const QByteArray &record, quint16 serverPort);

    // The next datagram, or nothing when none came within timeoutMs.
    std::optional<LoopbackDatagram> waitForDatagram(int timeoutMs);
    // Every datagram that arrives within the next windowMs, in order.
    QList<LoopbackDatagram> collect(int windowMs);
    // Throws away what has arrived so far; returns how many datagrams.
    int discardPending();

private:
    std::optional<LoopbackDatagram> receiveNow();
    void waitReadable(int timeoutMs);

    int m_fd = -1;
    QString m_address;
};
