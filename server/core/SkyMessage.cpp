#include "SkyMessage.h"

#include <QtEndian>

#include <cstring>

namespace SkyMessage {
namespace {

constexpr char Magic[4] = {'V', 'S', 'K', '1'};

class Writer
{
public:
    explicit Writer(QByteArray &out) : m_out(out) {}
    template<typename T>
    void put(T value)
    {
        char bytes[sizeof(T)];
        qToLittleEndian(value, bytes);
        m_out.append(bytes, sizeof(T));
    }
    void bytes(QByteArrayView data) { m_out.append(data.data(), data.size()); }

private:
    QByteArray &m_out;
};

// Reads fields in order; once a read would pass the end, every later read
// fails too and yields zero.
class Reader
{
public:
    explicit Reader(QByteArrayView data) : m_data(data) {}
    template<typename T>
    T get()
    {
        if (!ensure(sizeof(T)))
            return T{};
        const T value = qFromLittleEndian<T>(m_data.data() + m_at);
        m_at += qsizetype(sizeof(T));
        return value;
    }
    QByteArrayView take(qsizetype count)
    {
        if (!ensure(count))
            return {};
        const QByteArrayView view = m_data.sliced(m_at, count);
        m_at += count;
        return view;
    }
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_at == m_data.size(); }

private:
    bool ensure(qsizetype count)
    {
        if (m_ok && count >= 0 && m_data.size() - m_at >= count)
            return true;
        m_ok = false;
        return false;
    }
    QByteArrayView m_data;
    qsizetype m_at = 0;
    bool m_ok = true;
};

bool validKind(quint8 kind) { return kind >= quint8(Kind::Batch) && kind <= quint8(Kind::RosterRequest); }

bool readItem(Reader &reader, Item &item)
{
    const quint8 kind = reader.get<quint8>();
    item.kind = ItemKind(kind);
    switch (item.kind) {
    case ItemKind::Record:
        item.record = reader.take(RecordBytes).toByteArray();
        return reader.ok();
    case ItemKind::PlayerAdded: {
        item.serverId = reader.get<qint32>();
        item.logonTimeMs = reader.get<qint64>();
        const quint8 units = reader.get<quint8>();
        if (units > MaxHandleUnits)
            return false;
        const QByteArrayView text = reader.take(qsizetype(units) * 2);
        if (!reader.ok())
            return false;
        item.handle.resize(units);
        for (int i = 0; i < units; ++i)
            item.handle[i] = QChar(qFromLittleEndian<quint16>(text.data() + 2 * i));
        return true;
    }
    case ItemKind::PlayerRemoved:
        item.serverId = reader.get<qint32>();
        return reader.ok();
    case ItemKind::Presence:
        item.rosterSize = reader.get<quint32>();
        item.startedAtMs = reader.get<qint64>();
        return reader.ok();
    }
    return false;
}

} // namespace

const char *faultName(Fault fault)
{
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Malformed: return "malformed";
    case Fault::TooLarge: return "too_large";
    case Fault::WrongNode: return "wrong_node";
    case Fault::ForeignServerId: return "foreign_server_id";
    case Fault::UnknownSubject: return "unknown_subject";
    }
    return "unknown";
}

Item Item::ofRecord(QByteArrayView bytes)
{
    Item item;
    item.kind = ItemKind::Record;
    item.record = bytes.first(qMin(bytes.size(), qsizetype(RecordBytes))).toByteArray();
    item.record.resize(RecordBytes, '\0');
    return item;
}

Item Item::playerAdded(qint32 serverId, qint64 logonTimeMs, const QString &handle)
{
    Item item;
    item.kind = ItemKind::PlayerAdded;
    item.serverId = serverId;
    item.logonTimeMs = logonTimeMs;
    item.handle = handle.left(MaxHandleUnits);
    return item;
}

Item Item::playerRemoved(qint32 serverId)
{
    Item item;
    item.kind = ItemKind::PlayerRemoved;
    item.serverId = serverId;
    return item;
}

Item Item::presence(quint32 rosterSize, qint64 startedAtMs)
{
    Item item;
    item.kind = ItemKind::Presence;
    item.rosterSize = rosterSize;
    item.startedAtMs = startedAtMs;
    return item;
}

qsizetype encodedSize(const Item &item)
{
    switch (item.kind) {
    case ItemKind::Record: return 1 + RecordBytes;
    case ItemKind::PlayerAdded: return 1 + 4 + 8 + 1 + 2 * qMin(item.handle.size(), qsizetype(MaxHandleUnits));
    case ItemKind::PlayerRemoved: return 1 + 4;
    case ItemKind::Presence: return 1 + 4 + 8;
    }
    return 1;
}

QByteArray encode(const Header &header, const std::vector<Item> &items)
{
    QByteArray out;
    qsizetype size = HeaderBytes;
    for (const Item &item : items)
        size += encodedSize(item);
    out.reserve(size);
    Writer writer(out);
    writer.bytes(QByteArrayView(Magic, sizeof Magic));
    writer.put<quint8>(quint8(header.kind));
    writer.put<quint8>(quint8(header.node));
    writer.put<quint64>(header.runId);
    writer.put<quint64>(header.sequence);
    writer.put<qint64>(header.sentAtMs);
    writer.put<quint16>(quint16(items.size()));
    for (const Item &item : items) {
        writer.put<quint8>(quint8(item.kind));
        switch (item.kind) {
        case ItemKind::Record:
            writer.bytes(QByteArrayView(item.record).first(qMin(item.record.size(), qsizetype(RecordBytes))));
            for (qsizetype pad = item.record.size(); pad < RecordBytes; ++pad)
                writer.put<quint8>(0);
            break;
        case ItemKind::PlayerAdded: {
            writer.put<qint32>(item.serverId);
            writer.put<qint64>(item.logonTimeMs);
            const QString handle = item.handle.left(MaxHandleUnits);
            writer.put<quint8>(quint8(handle.size()));
            for (QChar unit : handle)
                writer.put<quint16>(unit.unicode());
            break;
        }
        case ItemKind::PlayerRemoved:
            writer.put<qint32>(item.serverId);
            break;
        case ItemKind::Presence:
            writer.put<quint32>(item.rosterSize);
            writer.put<qint64>(item.startedAtMs);
            break;
        }
    }
    return out;
}

std::optional<Message> decode(QByteArrayView bytes, Fault *fault)
{
    *fault = Fault::None;
    if (bytes.size() > MaxBytes) {
        *fault = Fault::TooLarge;
        return std::nullopt;
    }
    Reader reader(bytes);
    Message message;
    const QByteArrayView magic = reader.take(sizeof Magic);
    const quint8 kind = reader.get<quint8>();
    message.header.node = reader.get<quint8>();
    message.header.runId = reader.get<quint64>();
    message.header.sequence = reader.get<quint64>();
    message.header.sentAtMs = reader.get<qint64>();
    const quint16 count = reader.get<quint16>();
    if (!reader.ok() || std::memcmp(magic.data(), Magic, sizeof Magic) != 0 || !validKind(kind)
        || message.header.node < 1 || message.header.node > MaxNode) {
        *fault = Fault::Malformed;
        return std::nullopt;
    }
    if (count > MaxItems) {
        *fault = Fault::TooLarge;
        return std::nullopt;
    }
    message.header.kind = Kind(kind);
    message.items.resize(count);
    for (Item &item : message.items) {
        if (!readItem(reader, item)) {
            *fault = Fault::Malformed;
            return std::nullopt;
        }
    }
    if (!reader.atEnd()) {
        *fault = Fault::Malformed;
        return std::nullopt;
    }
    return message;
}

} // namespace SkyMessage
