#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The messages nodes of one sky exchange over NATS: a fixed header, then
// items, all little-endian, read field by field (never cast onto memory).
//
//   header: "VSK1", kind u8, node u8, run ID u64, sequence u64, sent-at i64
//           (ms since 1970 UTC), item count u16
//   item:   kind u8, then by kind
//     record          128 bytes, as the pilot sent them
//     player added    server ID i32, logon time i64 (ms since 1970 UTC),
//                     handle length u8 (UTF-16 units, at most 20), UTF-16LE
//     player removed  server ID i32
//     presence        roster size u32, started-at i64 (ms since 1970 UTC)
//
// Decoding takes nothing it cannot check: a wrong magic or kind, a node
// outside 1-127, an item that runs past the end, bytes left over, a handle
// longer than a logon can carry or more items or bytes than the bounds
// allow each reject the message whole, with the reason.
namespace SkyMessage {

inline constexpr qsizetype MaxBytes = 1024 * 1024;
inline constexpr int MaxItems = 4096;
inline constexpr int MaxHandleUnits = 20;
inline constexpr int RecordBytes = 128;
inline constexpr int MaxNode = 127;
inline constexpr qsizetype HeaderBytes = 4 + 1 + 1 + 8 + 8 + 8 + 2;

enum class Kind : quint8 { Batch = 1, Roster = 2, Presence = 3, RosterRequest = 4 };
enum class ItemKind : quint8 { Record = 1, PlayerAdded = 2, PlayerRemoved = 3, Presence = 4 };

struct Header {
    Kind kind = Kind::Batch;
    int node = 0;
    quint64 runId = 0;
    quint64 sequence = 0;
    qint64 sentAtMs = 0;
};

struct Item {
    ItemKind kind = ItemKind::Record;
    QByteArray record;     // Record: exactly RecordBytes
    qint32 serverId = 0;   // PlayerAdded, PlayerRemoved
    qint64 logonTimeMs = 0; // PlayerAdded
    QString handle;        // PlayerAdded, as sent: network text
    quint32 rosterSize = 0; // Presence
    qint64 startedAtMs = 0; // Presence

    static Item ofRecord(QByteArrayView bytes);
    static Item playerAdded(qint32 serverId, qint64 logonTimeMs, const QString &handle);
    static Item playerRemoved(qint32 serverId);
    static Item presence(quint32 rosterSize, qint64 startedAtMs);
};

struct Message {
    Header header;
    std::vector<Item> items;
};

// Why a message was not taken; also the drop counters' labels.
enum class Fault { None, Malformed, TooLarge, WrongNode, ForeignServerId, UnknownSubject };
const char *faultName(Fault fault);

// The encoded size of one item.
qsizetype encodedSize(const Item &item);

// Encodes a header and items. The caller keeps within MaxBytes and
// MaxItems (Outbox splits); a handle longer than MaxHandleUnits is cut.
QByteArray encode(const Header &header, const std::vector<Item> &items);

// Decodes one message; empty, with `fault` set, when it cannot be taken.
std::optional<Message> decode(QByteArrayView bytes, Fault *fault);

} // namespace SkyMessage
