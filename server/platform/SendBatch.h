#pragma once

#include <QByteArray>

#include <array>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>

// Datagrams held back so that several go out in one system call, in the
// order they were given.
//
// A full send buffer (EAGAIN, ENOBUFS) is not a silent loss: a datagram
// marked droppable is given up at once, any other waits for room for up to
// RoomWaitMs in all. An ICMP error left behind by an earlier datagram
// (ECONNREFUSED) says nothing about the one it is reported on, which is
// sent once more. Every datagram that still could not be sent is handed to
// the unsent handler with the system's error number.
class SendBatch
{
public:
    static constexpr int Capacity = 256;
    static constexpr int RoomWaitMs = 50;
    static constexpr int RoomWaitRounds = 10;

    // The system calls a batch makes; tests replace them to fill the send
    // buffer at will.
    class Transport
    {
    public:
        virtual ~Transport() = default;
        // As sendmmsg: the number sent from the front, or -1 with errno.
        virtual int sendMany(mmsghdr *messages, unsigned count) = 0;
        // Returns once the socket is writable, or after timeoutMs.
        virtual void waitForRoom(int timeoutMs) = 0;
    };

    // The descriptor is no longer a socket (closed or replaced behind the
    // owner's back): nothing sent through it can work again.
    static bool descriptorGone(int errorNumber);

    // The real system calls on a descriptor the owner keeps (and may
    // change).
    class SocketTransport : public Transport
    {
    public:
        explicit SocketTransport(const int &fd) : m_fd(fd) {}
        int sendMany(mmsghdr *messages, unsigned count) override;
        void waitForRoom(int timeoutMs) override;

    private:
        const int &m_fd;
    };

    using UnsentHandler = std::function<void(const char *data, qsizetype size, int errorNumber)>;

    explicit SendBatch(Transport &transport) : m_transport(transport) {}
    SendBatch(const SendBatch &) = delete;
    SendBatch &operator=(const SendBatch &) = delete;

    void setUnsentHandler(UnsentHandler handler) { m_unsent = std::move(handler); }

    // Copies the datagram and its destination (a sockaddr_in or
    // sockaddr_in6 of `toLength` bytes) in; when the batch is full the
    // held-back ones go out first.
    void add(const sockaddr_in6 &to, socklen_t toLength, const char *data, qsizetype size, bool dropWhenFull);
    bool isEmpty() const { return m_count == 0; }
    bool isFull() const { return m_count == Capacity; }

    // Sends everything held back. Returns how many datagrams could not be
    // sent; the last one's error number is then in lastErrorNumber().
    int flush();
    int lastErrorNumber() const { return m_lastErrorNumber; }

private:
    struct Slot {
        sockaddr_in6 to {};
        socklen_t toLength = 0;
        std::array<char, 128> inlineBytes {};
        QByteArray largeBytes; // used only for datagrams beyond 128 bytes
        qsizetype size = 0;
        bool dropWhenFull = false;
        bool retriedStaleError = false;
        int roomWaits = 0;
        iovec part {};
        const char *data() const { return size <= qsizetype(inlineBytes.size()) ? inlineBytes.data() : largeBytes.constData(); }
    };

    // What to do about the datagram at the front after the system refused it.
    enum class Outcome { Retry, GiveUp, GiveUpAll };
    Outcome afterRefusal(Slot &slot, int errorNumber);
    void giveUp(const Slot &slot, int errorNumber);

    Transport &m_transport;
    UnsentHandler m_unsent;
    std::array<Slot, Capacity> m_slots;
    std::array<mmsghdr, Capacity> m_messages {};
    int m_count = 0;
    int m_lastErrorNumber = 0;
};
