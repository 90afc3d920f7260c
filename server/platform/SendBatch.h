#pragma once

#include "Seams.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

// Datagrams held back so that they go out together: at a flush every
// datagram held for one destination goes out in the order it was given, and
// consecutive 128-byte records for one destination, of one kind (what
// becomes of them when the send buffer is full), travel as grouped messages of up to segmentLimit() records (UDP
// segmentation: the receiver still gets one 128-byte datagram per record,
// in order). Destinations may go in another order than they were first
// given.
//
// A full send buffer (EAGAIN, ENOBUFS) is not a silent loss. Each datagram
// says what it does then (Sender::WhenFull): one that may be dropped is
// given up at once; one that may be dropped first is given up already when
// the buffer is half full, so it never takes the room the others need;
// any other waits for room. All the waiting of one flush shares RoomWaitMs:
// once that is spent, what still finds no room is given up at once too, so
// one congested path holds up every other destination by RoomWaitMs at
// most, however many records wait. A grouped message only ever holds
// datagrams of one kind, so each is treated by its own rule. An ICMP error left behind by an
// earlier datagram (ECONNREFUSED) says nothing about the one it is reported
// on, which is sent once more. Every datagram that still could not be sent
// is handed to the unsent handler with the system's error number.
//
// Where the system refuses a grouped message (an older kernel, a device or
// route that cannot take them), it and the rest of the flush go out one
// datagram a message. If its first record then goes, the grouping was what
// the system refused: every later flush sends each datagram on its own too,
// and the grouping-refused handler hears of it once. If that record is
// refused as well, its destination was at fault, and grouping stays on.
class SendBatch
{
public:
    // Datagrams held at most; a full batch flushes before it takes more.
    static constexpr int Capacity = 4096;
    static constexpr int RecordBytes = 128;
    // What a grouped message may hold: 64 records on every system that takes
    // grouped messages at all, 128 on newer ones.
    static constexpr int SafeSegments = 64;
    static constexpr int MostSegments = 128;
    static constexpr int RoomWaitMs = 50; // per flush
    // Writable, to poll, means half the buffer free; a datagram may go
    // long before that, so the wait is tried again each millisecond.
    static constexpr int RoomWaitSliceMs = 1;

    // The system calls a batch makes; tests replace them to fill the send
    // buffer or refuse grouped messages at will.
    class Transport
    {
    public:
        virtual ~Transport() = default;
        // As sendmmsg: the number sent from the front, or -1 with errno.
        virtual int sendMany(mmsghdr *messages, unsigned count) = 0;
        // Returns once the socket is writable, or after timeoutMs: the
        // milliseconds it waited.
        virtual int waitForRoom(int timeoutMs) = 0;
        // Whether less than half the socket's send buffer is taken.
        virtual bool hasRoomToSpare() = 0;
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
        int waitForRoom(int timeoutMs) override;
        bool hasRoomToSpare() override;
        // How many records one grouped message on this socket may hold: 1
        // where the system does not know grouped messages (it would take
        // the records for one long datagram), else MostSegments when a
        // grouped message of that many reaches a socket of our own on
        // loopback, else SafeSegments.
        int segmentLimit() const;

    private:
        const int &m_fd;
    };

    using UnsentHandler = std::function<void(const char *data, qsizetype size, int errorNumber)>;
    using GroupingRefusedHandler = std::function<void(int errorNumber)>;

    explicit SendBatch(Transport &transport);
    SendBatch(const SendBatch &) = delete;
    SendBatch &operator=(const SendBatch &) = delete;

    void setUnsentHandler(UnsentHandler handler) { m_unsent = std::move(handler); }
    void setGroupingRefusedHandler(GroupingRefusedHandler handler) { m_groupingRefused = std::move(handler); }

    // The most records one grouped message holds, at most MostSegments; 1
    // (the start) sends every datagram on its own.
    void setSegmentLimit(int segments);
    int segmentLimit() const { return m_segmentLimit; }

    // Copies the datagram and its destination (a sockaddr_in or
    // sockaddr_in6 of `toLength` bytes) in; when the batch is full the
    // held-back ones go out first.
    void add(const sockaddr_in6 &to, socklen_t toLength, const char *data, qsizetype size, Sender::WhenFull whenFull);
    bool isEmpty() const { return m_count == 0; }
    bool isFull() const { return m_count == Capacity; }

    // Sends everything held back. Returns how many datagrams could not be
    // sent; the last one's error number is then in lastErrorNumber().
    int flush();
    int lastErrorNumber() const { return m_lastErrorNumber; }

private:
    struct Record {
        sockaddr_in6 to {}; // zeros beyond toLength
        socklen_t toLength = 0;
        int large = -1; // index in m_large for datagrams beyond 128 bytes
        qsizetype size = 0;
        Sender::WhenFull whenFull = Sender::WhenFull::WaitForRoom;
        int destination = 0;
        int next = -1; // the destination's next record, -1 for its last
    };
    struct Destination {
        int first = -1;
        int last = -1;
        int tableSlot = -1;
    };
    struct Message {
        int firstPart = 0;
        int parts = 0;
        bool retriedStaleError = false;
    };

    // What to do about the message at the front after the system refused it.
    enum class Outcome { Retry, GiveUp, GiveUpAll };

    void chainByDestination();
    int destinationOf(const Record &record);
    static bool sameDestination(const Record &a, const Record &b);
    const char *dataOf(int record) const;
    void lineUp();
    void group(int firstPart, int firstMessage, int segments);
    Outcome afterRefusal(Message &message, int errorNumber);
    const Record &headOf(const Message &message) const { return m_records[size_t(m_partRecords[size_t(message.firstPart)])]; }
    int sendableRun(int first) const;
    int giveUp(const Message &message, int errorNumber);
    void forget();

    Transport &m_transport;
    UnsentHandler m_unsent;
    GroupingRefusedHandler m_groupingRefused;
    int m_segmentLimit = 1;
    quint64 m_seed = 0;

    // What is held, in the order given.
    std::unique_ptr<char[]> m_bytes;
    std::vector<QByteArray> m_large;
    std::vector<Record> m_records;
    int m_count = 0;

    // A flush: the records chained by destination (an open-addressing table
    // from address to destination finds them), one part per record,
    // destination by destination, and the messages over them. Grouping is
    // done here rather than as records come in, so the table stays in the
    // cache while it is used.
    std::vector<Destination> m_destinations;
    std::vector<int> m_table;
    int m_destinationCount = 0;
    std::vector<iovec> m_parts;
    std::vector<int> m_partRecords;
    std::vector<mmsghdr> m_messages;
    std::vector<Message> m_messageStates;
    int m_messageCount = 0;
    alignas(cmsghdr) char m_segmentControl[CMSG_SPACE(sizeof(quint16))] {};

    int m_roomBudgetMs = RoomWaitMs; // what the running flush may still wait
    int m_lastErrorNumber = 0;
};
