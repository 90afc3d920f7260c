#include "StatusPage.h"

#include "DurationText.h"
#include "NetworkText.h"

#include <QJsonArray>

namespace StatusPage {
namespace {

// Dark or light as the reader's system is; the table keeps to the width of
// a phone, and a long handle without spaces breaks rather than widens it.
const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;padding:1rem;line-height:1.4;color:#1b1f24;background:#f6f7f9}"
    "main{max-width:40rem;margin:0 auto}"
    "h1{font-size:1.4rem;margin:0 0 .5rem}"
    ".motd{font-size:1.1rem;padding:.6rem .8rem;border-left:4px solid #2f6fde;background:#fff}"
    "table{width:100%;border-collapse:collapse;background:#fff}"
    "th,td{text-align:left;padding:.45rem .6rem;border-bottom:1px solid #d8dce1}"
    "td:first-child{word-break:break-all;font-weight:600}"
    "td.num,th.num{text-align:right;white-space:nowrap}"
    "footer{margin-top:1rem;font-size:.85rem;color:#5b636d}"
    "a{color:inherit}"
    "@media (prefers-color-scheme:dark){body{color:#e6e8eb;background:#15181c}"
    ".motd,table{background:#1f2328}th,td{border-color:#343a41}footer{color:#9aa3ad}}";

qint64 number(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toInteger();
}

QString pilotsOn(qsizetype count)
{
    if (count == 0)
        return QStringLiteral("No pilots on");
    return count == 1 ? QStringLiteral("1 pilot on") : QStringLiteral("%1 pilots on").arg(count);
}

// In a sky, a column says which node each pilot flies on.
QString playerRow(const QJsonObject &player, bool sky)
{
    const QString node = sky ? QStringLiteral("<td class=\"num\">") + QString::number(number(player, "node"))
            + QStringLiteral("</td>")
                             : QString();
    return QStringLiteral("<tr><td>%1</td>%4<td class=\"num\">%2</td><td>%3</td></tr>\n")
        .arg(NetworkText::html(player.value(QLatin1String("handle")).toString()),
             NetworkText::html(durationText(number(player, "secondsSinceLogon"))),
             player.value(QLatin1String("sentAircraftDetails")).toBool() ? QStringLiteral("received")
                                                                          : QStringLiteral("not yet"),
             node);
}

QString playersPart(const QJsonArray &players, bool sky)
{
    if (players.isEmpty())
        return QStringLiteral("<p>Nobody is flying right now.</p>\n");
    QString rows;
    for (const QJsonValue &player : players)
        rows += playerRow(player.toObject(), sky);
    return QStringLiteral("<table>\n<thead><tr><th>Pilot</th>%2<th class=\"num\">On for</th><th>Aircraft details</th>"
                          "</tr></thead>\n<tbody>\n%1</tbody>\n</table>\n")
        .arg(rows, sky ? QStringLiteral("<th class=\"num\">Node</th>") : QString());
}

} // namespace

QByteArray html(const QJsonObject &status)
{
    const QJsonArray players = status.value(QLatin1String("players")).toArray();
    const QString summary = pilotsOn(players.size());
    const QString page =
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<meta http-equiv=\"refresh\" content=\"%1\">\n"
                       "<title>Ventoro: %2</title>\n<style>%3</style>\n</head>\n<body>\n<main>\n"
                       "<h1>Ventoro server</h1>\n<p class=\"motd\">%4</p>\n<p>%2 &middot; up %5</p>\n%6"
                       "<footer>Ventoro %7 &middot; this page refreshes every %1 s &middot; "
                       "<a href=\"status.json\">status.json</a> &middot; <a href=\"metrics\">metrics</a></footer>\n"
                       "</main>\n</body>\n</html>\n")
            .arg(QString::number(RefreshSeconds), summary, QLatin1String(kStyle),
                 NetworkText::html(status.value(QLatin1String("messageOfTheDay")).toString()),
                 NetworkText::html(durationText(number(status, "uptimeSeconds"))), playersPart(players, status.contains(QLatin1String("sky"))),
                 NetworkText::html(status.value(QLatin1String("version")).toString()));
    return page.toUtf8();
}

} // namespace StatusPage
