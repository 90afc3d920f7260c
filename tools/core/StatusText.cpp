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

// The players' table: each column as wide as its widest entry, heading
// included, so that IPv6 endpoints and long handles keep the columns in line.
// In a sky a column says which node each pilot flies on; another node's
// pilots have no address or heartbeat here.
QString playersTable(const QJsonArray &players, int ownNode)
{
    QList<QStringList> rows{{QStringLiteral("ID"), QStringLiteral("Handle"), QStringLiteral("Address"),
                             QStringLiteral("Last heartbeat"), QStringLiteral("Aircraft sent")}};
    if (ownNode)
        rows.first().insert(1, QStringLiteral("Node"));
    for (const QJsonValue &value : players) {
        const QJsonObject player = value.toObject();
        const bool remote = ownNode && number(player, "node") != ownNode;
        rows.append({QString::number(number(player, "serverId")),
                     NetworkText::oneLine(player.value(QLatin1String("handle")).toString()),
                     NetworkText::oneLine(player.value(QLatin1String("address")).toString()),
                     remote ? QStringLiteral("-") : durationText(number(player, "secondsSinceHeartbeat")) + QStringLiteral(" ago"),
                     player.value(QLatin1String("sentAircraftDetails")).toBool() ? QStringLiteral("yes")
                                                                                 : QStringLiteral("no")});
        if (ownNode)
            rows.last().insert(1, QString::number(number(player, "node")));
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = qMax(widths[column], row[column].size());
    }
    // Numbers and times align right, texts left; the last column is not padded.
    QList<bool> right{true, false, false, true, false};
    if (ownNode)
        right.insert(1, true);
    QString table;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column) {
            const bool last = column + 1 == row.size();
            const int width = last ? 0 : int(widths[column]);
            line += QStringLiteral("  ") + (right[column] ? row[column].rightJustified(width) : row[column].leftJustified(width));
        }
        table += line + QLatin1Char('\n');
    }
    return table;
}

// "Sky "S": node 1, connected; other nodes 2 (3 pilots), 3 (1 pilot); ..."
QString skyText(const QJsonObject &sky)
{
    QString text = QStringLiteral("Sky \"") + NetworkText::oneLine(sky.value(QLatin1String("name")).toString())
        + QStringLiteral("\": node ") + QString::number(number(sky, "node"));
    if (sky.value(QLatin1String("left")).toBool())
        return text + QStringLiteral(", left the sky: ")
            + NetworkText::oneLine(sky.value(QLatin1String("leftReason")).toString()) + QLatin1Char('\n');
    text += sky.value(QLatin1String("connected")).toBool() ? QStringLiteral(", connected") : QStringLiteral(", not connected");
    QStringList nodes;
    for (const QJsonValue &value : sky.value(QLatin1String("nodes")).toArray()) {
        const qint64 pilots = number(value.toObject(), "players");
        nodes.append(QString::number(number(value.toObject(), "node")) + QStringLiteral(" (") + QString::number(pilots)
                     + (pilots == 1 ? QStringLiteral(" pilot)") : QStringLiteral(" pilots)")));
    }
    text += nodes.isEmpty() ? QStringLiteral("; no other node heard") : QStringLiteral("; other nodes ") + nodes.join(QStringLiteral(", "));
    QStringList dropped;
    const QJsonObject byReason = sky.value(QLatin1String("dropped")).toObject();
    for (auto it = byReason.begin(); it != byReason.end(); ++it)
        dropped.append(it.key() + QLatin1Char(' ') + QString::number(it.value().toInteger()));
    const auto n = [&sky](const char *key) { return QString::number(number(sky, key)); };
    return text + QStringLiteral(".\n  messages in %1, out %2; records in %3, out %4; dropped: %5\n")
                      .arg(n("messagesIn"), n("messagesOut"), n("recordsIn"), n("recordsOut"),
                           dropped.isEmpty() ? QStringLiteral("none") : dropped.join(QStringLiteral(", ")));
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
    const qint64 restored = number(status.value(QLatin1String("counters")).toObject(), "playersRestored");
    if (restored > 0)
        text += QStringLiteral("Restored %1 players from the previous run at start.\n").arg(restored);
    const QJsonObject sky = status.value(QLatin1String("sky")).toObject();
    if (!sky.isEmpty())
        text += skyText(sky);
    const QJsonArray players = status.value(QLatin1String("players")).toArray();
    if (players.isEmpty()) {
        text += QStringLiteral("No players.\n");
    } else {
        text += QStringLiteral("Players (%1):\n").arg(players.size()) + playersTable(players, int(number(sky, "node")));
    }
    return text + countersText(status.value(QLatin1String("counters")).toObject());
}

} // namespace StatusText
