#include "StatusText.h"

#include "DurationText.h"
#include "NetworkText.h"
#include "Packet.h"

#include <QJsonArray>

namespace StatusText {
namespace {

qint64 number(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toInteger();
}

// One pass over the format: the handle is network text, and a "%1" in it
// must stay as it is.
QString playerLine(const QJsonObject &player)
{
    return QStringLiteral("  %1  %2  %3  %4  %5\n")
        .arg(QString::number(number(player, "serverId")).rightJustified(6),
             NetworkText::oneLine(player.value(QLatin1String("handle")).toString()).leftJustified(20),
             player.value(QLatin1String("address")).toString().leftJustified(15),
             (durationText(number(player, "secondsSinceHeartbeat")) + QStringLiteral(" ago")).rightJustified(16),
             player.value(QLatin1String("sentAircraftDetails")).toBool() ? QStringLiteral("yes") : QStringLiteral("no"));
}

QString failedSends(const QJsonObject &byType)
{
    QStringList parts;
    for (auto it = byType.begin(); it != byType.end(); ++it)
        parts.append(Packet::typeName(it.key().toInt()) + QLatin1Char(' ') + QString::number(it.value().toInteger()));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

QString countersText(const QJsonObject &c)
{
    const auto n = [&c](const char *key) { return QString::number(number(c, key)); };
    return QStringLiteral("Counters:\n"
                          "  datagrams received %1, records relayed %2, records ignored %3\n"
                          "  logons accepted %4, rejected %5 (of them throttled %6, banned %7, refused as full %8)\n"
                          "  stale flight records dropped %9\n")
               .arg(n("datagramsReceived"), n("recordsRelayed"), n("recordsIgnored"), n("logonsAccepted"),
                    n("logonsRejected"), n("logonsThrottled"), n("logonsBanned"), n("logonsRefusedFull"),
                    n("staleFlightDataDropped"))
        + QStringLiteral("  datagrams dropped: from the receive queue %1, of a size no whole number of records %2, "
                         "IPv6 with an IPv4-mapped source %3\n"
                         "  sends that failed: %4\n")
              .arg(n("receiveQueueDrops"), n("oddSizedDatagramsDropped"), n("mappedSourcesDropped"),
                   failedSends(c.value(QLatin1String("sendFailuresByType")).toObject()));
}

} // namespace

QString format(const QJsonObject &status)
{
    const qint64 maxPilots = number(status, "maxPilots");
    const QString answers = status.value(QLatin1String("replyToSourcePort")).toBool()
        ? QStringLiteral("the port each pilot sends from")
        : QStringLiteral("UDP port %1").arg(number(status, "clientConnectPort"));
    QString text = QStringLiteral("Up %1. Pilots send to UDP port %2; answers go to %3. Logging %4.\n"
                                  "Pilot limit: %5. Bans in force: %6.\n")
                       .arg(durationText(number(status, "uptimeSeconds")))
                       .arg(number(status, "connectPort"))
                       .arg(answers)
                       .arg(status.value(QLatin1String("logging")).toBool() ? QStringLiteral("on") : QStringLiteral("off"))
                       .arg(maxPilots > 0 ? QString::number(maxPilots) : QStringLiteral("none"))
                       .arg(number(status, "bans"));
    const QJsonArray players = status.value(QLatin1String("players")).toArray();
    if (players.isEmpty()) {
        text += QStringLiteral("No players.\n");
    } else {
        text += QStringLiteral("Players (%1):\n  %2  %3  %4  %5  %6\n")
                    .arg(players.size())
                    .arg(QStringLiteral("ID"), 6).arg(QStringLiteral("Handle"), -20).arg(QStringLiteral("Address"), -15)
                    .arg(QStringLiteral("Last heartbeat"), 16).arg(QStringLiteral("Aircraft sent"));
        for (const QJsonValue &player : players)
            text += playerLine(player.toObject());
    }
    return text + countersText(status.value(QLatin1String("counters")).toObject());
}

} // namespace StatusText
