#pragma once

#include <QByteArray>
#include <QMutex>

#include <deque>
#include <vector>

// One thing the sky delivered: a message with its subject, or a change of
// the connection.
struct SkyDelivery {
    enum class Type { Message, Connected, Disconnected };
    Type type = Type::Message;
    QByteArray subject;
    QByteArray payload;
};

// Deliveries from the sky's client threads, waiting for the server's
// thread. The only thing those threads touch: they push copies in, the
// receive path takes them out. Bounded in bytes: when full, messages are
// dropped (counted) and connection changes still go in.
class SkyInbox
{
public:
    static constexpr qsizetype DefaultByteLimit = 32 * 1024 * 1024;

    explicit SkyInbox(qsizetype byteLimit = DefaultByteLimit) : m_byteLimit(byteLimit) {}

    // Any thread. True when the inbox was empty: the caller then wakes the
    // server's thread.
    bool push(SkyDelivery delivery);
    // The server's thread: everything waiting, oldest first.
    void take(std::vector<SkyDelivery> &out);
    bool isEmpty() const;
    quint64 overflowDropped() const;

private:
    mutable QMutex m_mutex;
    std::deque<SkyDelivery> m_waiting;
    qsizetype m_bytes = 0;
    qsizetype m_byteLimit;
    quint64 m_overflowDropped = 0;
};
