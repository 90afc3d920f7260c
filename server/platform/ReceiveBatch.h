#pragma once

#include <QtGlobal>

#include <array>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

// Takes datagrams from a socket in batches (one recvmmsg), each whole, with
// its sender and the time the kernel received it. The socket must have
// SO_TIMESTAMPNS or SO_TIMESTAMP on for the times to be known.
class ReceiveBatch
{
public:
    static constexpr int Size = 32;
    // The largest UDP payload over IPv4 is 65507 bytes (over IPv6 65527);
    // one more byte of room lets MSG_TRUNC reveal anything that would not fit.
    static constexpr size_t DatagramBufferBytes = 65536;

    struct Datagram {
        const char *data;
        qsizetype size;
        bool oversized; // larger than any buffer: not to be kept cut short
        const sockaddr *sender; // sockaddr_in6 or sockaddr_in, as the socket's family
        socklen_t senderLength;
        qint64 arrivalNs; // real-time clock of the kernel; 0 when it gave none
    };

    // Reads up to Size datagrams without waiting: the number read, or -1
    // with errno. They stay valid until the next call.
    int receive(int fd);
    Datagram datagram(int index) const;
    // A buffer to read into and throw away.
    char *scratch() { return buffer(0); }

private:
    static constexpr size_t ControlBytes = 64;

    char *buffer(int index) const { return m_bytes.get() + size_t(index) * DatagramBufferBytes; }

    // Pages never written stay unallocated, so the room for 32 of the
    // largest datagrams costs little.
    std::unique_ptr<char[]> m_bytes{new char[size_t(Size) * DatagramBufferBytes]};
    std::array<mmsghdr, Size> m_messages {};
    std::array<iovec, Size> m_parts {};
    std::array<sockaddr_in6, Size> m_senders {}; // room for either family
    alignas(cmsghdr) std::array<std::array<char, ControlBytes>, Size> m_controls {};
};
