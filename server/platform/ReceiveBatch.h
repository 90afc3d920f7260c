#pragma once

#include <QtGlobal>

#include <array>
#include <netinet/in.h>
#include <sys/socket.h>

// Takes datagrams from a socket in batches (one recvmmsg): of each its size,
// its first 128 bytes (all that a record holds; the rest is never copied),
// its sender, the time the kernel received it, and whether it came as IPv4.
// The socket must have SO_TIMESTAMPNS or SO_TIMESTAMP on for the times to be
// known, and IP_PKTINFO for the family to be told.
class ReceiveBatch
{
public:
    static constexpr int Size = 64;
    static constexpr size_t KeptBytes = 128;

    struct Datagram {
        const char *data; // its first min(size, KeptBytes) bytes
        qsizetype size;   // its whole size
        const sockaddr *sender; // sockaddr_in6 or sockaddr_in, as the socket's family
        socklen_t senderLength;
        qint64 arrivalNs; // real-time clock of the kernel; 0 when it gave none
        bool cameAsIpv4;  // the system said it came in an IPv4 packet (IP_PKTINFO)
    };

    // Reads up to Size datagrams without waiting: the number read, or -1
    // with errno. They stay valid until the next call.
    int receive(int fd);
    Datagram datagram(int index) const;
    // A buffer to read into and throw away.
    char *scratch() { return m_bytes[0].data(); }
    static constexpr size_t ScratchBytes = KeptBytes;

private:
    static constexpr size_t ControlBytes = 128;

    std::array<std::array<char, KeptBytes>, Size> m_bytes {};
    std::array<mmsghdr, Size> m_messages {};
    std::array<iovec, Size> m_parts {};
    std::array<sockaddr_in6, Size> m_senders {}; // room for either family
    alignas(cmsghdr) std::array<std::array<char, ControlBytes>, Size> m_controls {};
};
