#include "CoreHarness.h"

#include "ReceivePath.h"

#include <QBuffer>

bool RecordingSender::send(const Endpoint &to, const Packet &record, WhenFull whenFull)
{
    sent.append(SentRecord{to.addressText(), to, record.bytes(), whenFull});
    return true;
}

Endpoint endpointOf(const QString &text)
{
    return Endpoint::fromText(text).value_or(Endpoint());
}

void ScriptedYield::yield()
{
    ++count;
    // A scripted event does not run again inside its own yields.
    if (onYield && !m_running) {
        m_running = true;
        onYield(count);
        m_running = false;
    }
}

CoreHarness::CoreHarness(bool debugOn, bool lowLevelOn)
    : context(std::make_unique<ServerContext>(clock, sender, yield))
{
    context->DebugOn = debugOn;
    context->DebugLowLevelOn = lowLevelOn;
    context->MessageOfTheDay = QStringLiteral("Welcome aboard");
    context->setCrashText(QStringLiteral("stacked his crate!!"));
    context->UsersIni.FileName(m_dir.filePath(QStringLiteral("user.ini")).toStdString());
    if (debugOn) {
        auto buffer = std::make_unique<QBuffer>(&m_log);
        buffer->open(QIODevice::WriteOnly);
        m_logBuffer = buffer.get();
        context->log.open(std::move(buffer));
    }
}

void CoreHarness::addAccount(qint32 pilotID, const QByteArray &password, const QByteArray &name)
{
    context->UsersIni.WriteINI(pilotID, "Pwd", password.toStdString());
    if (!name.isEmpty())
        context->UsersIni.WriteINI(pilotID, "Name", name.toStdString());
}

void CoreHarness::receive(const QByteArray &datagram, const QString &source)
{
    ReceivePath::handleDatagram(*context, datagram, endpointOf(source));
}

PlayerPtr CoreHarness::logOn(const QString &handle, const QString &source)
{
    const qint32 pilot = m_nextPilot++;
    addAccount(pilot, QByteArray::number(pilot * 7), handle.toUtf8());
    receive(ClientRecords::logonRequest(pilot, pilot * 7, handle), source);
    return context->players.item(handle.trimmed());
}

QList<PlayerPtr> CoreHarness::logOnAll(const QStringList &handles)
{
    QList<PlayerPtr> players;
    for (const QString &handle : handles)
        players.append(logOn(handle, QStringLiteral("127.0.0.%1:40000").arg(2 + players.size())));
    clearRecords();
    return players;
}

QStringList CoreHarness::logLines() const
{
    QStringList lines = QString::fromUtf8(m_log).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void CoreHarness::clearRecords()
{
    sender.sent.clear();
    if (m_logBuffer) {
        m_logBuffer->buffer().clear();
        m_logBuffer->seek(0);
    }
    yield.count = 0;
}

namespace Golden {

void putInt32(QByteArray &bytes, int offset, qint32 value)
{
    const auto bits = quint32(value);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((bits >> (8 * i)) & 0xFF);
}

void putText(QByteArray &bytes, int offset, int chars, const QString &text)
{
    const QString field = text.left(chars).leftJustified(chars, u' ');
    for (int i = 0; i < chars; ++i) {
        bytes[offset + 2 * i] = char(field[i].unicode() & 0xFF);
        bytes[offset + 2 * i + 1] = char(field[i].unicode() >> 8);
    }
}

QByteArray record(qint32 packetClass, qint32 type, qint32 senderID)
{
    QByteArray bytes(128, '\0');
    putInt32(bytes, 0, packetClass);
    putInt32(bytes, 4, type);
    putInt32(bytes, 8, senderID);
    return bytes;
}

QByteArray playerNotice(qint32 type, qint32 playerID, const QString &handle)
{
    QByteArray bytes = record(0, type);
    putInt32(bytes, 16, playerID);
    putText(bytes, 20, 20, handle);
    return bytes;
}

} // namespace Golden

namespace ClientRecords {

QByteArray logonRequest(qint32 pilotID, qint32 password, const QString &handle)
{
    QByteArray bytes = Golden::record(0, 1001, 0);
    Golden::putInt32(bytes, 16, pilotID);
    Golden::putInt32(bytes, 20, password);
    Golden::putText(bytes, 24, 20, handle);
    return bytes;
}

QByteArray keepAlive(qint32 senderID)
{
    QByteArray bytes = Golden::record(0, 1006, senderID);
    bytes.replace(16, 8, "clientxx");
    return bytes;
}

QByteArray flightRecord(qint32 type, qint32 senderID, char fill)
{
    QByteArray bytes = Golden::record(1, type, senderID);
    for (int i = 12; i < 128; ++i)
        bytes[i] = char(fill + (i % 7));
    return bytes;
}

} // namespace ClientRecords
