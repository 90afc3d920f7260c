#pragma once

#include <QByteArray>
#include <QtGlobal>

// One UDP socket on the wildcard address at the reply port that sends each
// datagram to the server on loopback from the source address it is told,
// and so receives the answers to all of them: a guesser that changes its
// address at every few guesses. IPv4 sources are 127.A.B.C; IPv6 sources
// are one address in each /64 of 2001:db8:ab::/48, which must be local to
// loopback (a network namespace of the caller's).
class RotatingSourceSocket
{
public:
    RotatingSourceSocket(bool ipv6, quint16 replyPort, quint16 serverPort);
    ~RotatingSourceSocket();
    RotatingSourceSocket(const RotatingSourceSocket &) = delete;
    RotatingSourceSocket &operator=(const RotatingSourceSocket &) = delete;

    bool bound() const { return m_bound; }

    // From 127.A.B.C (A from 1, B and C below 250) or 2001:db8:ab:INDEX::1.
    void send(int index, const QByteArray &record);
    // The type of the next record that arrives within `timeoutNs`; 0 when
    // none does.
    qint32 receive(qint64 timeoutNs);

private:
    bool m_ipv6;
    quint16 m_serverPort;
    int m_fd = -1;
    bool m_bound = false;
};
