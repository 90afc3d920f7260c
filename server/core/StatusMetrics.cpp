#include "StatusMetrics.h"

#include "Packet.h"

#include <QJsonArray>

#include <map>

namespace StatusMetrics {
namespace {

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const char *name, qint64 value, const QByteArray &labels = {})
    {
        m_text += name + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' + QByteArray::number(value)
            + '\n';
    }
    QByteArray text() const { return m_text; }

private:
    QByteArray m_text;
};

qint64 number(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toInteger();
}

QByteArray label(const char *name, const QString &value)
{
    return QByteArray(name) + "=\"" + labelValue(value) + '"';
}

void logons(Exposition &out, const QJsonObject &counters)
{
    const qint64 throttled = number(counters, "logonsThrottled");
    const qint64 banned = number(counters, "logonsBanned");
    const qint64 full = number(counters, "logonsRefusedFull");
    const qint64 rejected = qMax<qint64>(0, number(counters, "logonsRejected") - throttled - banned - full);
    out.family("ventoro_logons_total", "counter",
               "Logon requests answered, by outcome: accepted; rejected (unknown pilot ID, wrong password, or "
               "the handle could not be registered); throttled (too many rejections from the address or wrong "
               "passwords for the pilot ID, or too many logons for it); banned; "
               "full (the pilot limit was reached).");
    const std::pair<const char *, qint64> outcomes[] = {
        {"accepted", number(counters, "logonsAccepted")}, {"rejected", rejected}, {"throttled", throttled},
        {"banned", banned}, {"full", full}};
    for (const auto &[result, value] : outcomes)
        out.sample("ventoro_logons_total", value, label("result", QLatin1String(result)));
    out.family("ventoro_logons_unanswered_total", "counter",
               "Throttled logons left without an answer: a throttled address gets at most one a second.");
    out.sample("ventoro_logons_unanswered_total", number(counters, "logonsUnanswered"));
}

// Every type the server sends is shown, failed or not, so that a rate over
// it starts from zero.
void sendFailures(Exposition &out, const QJsonObject &byType)
{
    std::map<qint32, qint64> failures;
    for (const Packet::Type type : Packet::Types) {
        if (type != Packet::LogonRequest)
            failures[type] = 0;
    }
    for (auto it = byType.begin(); it != byType.end(); ++it)
        failures[it.key().toInt()] = it.value().toInteger();
    out.family("ventoro_send_failures_total", "counter",
               "Records that could not be sent (the socket's send buffer stayed full), by record type.");
    for (const auto &[type, failed] : failures)
        out.sample("ventoro_send_failures_total", failed, label("type", Packet::typeName(type)));
}

// Only a server in a sky has these.
void skyFamilies(Exposition &out, const QJsonObject &sky)
{
    const auto flag = [&sky](const char *key) { return sky.value(QLatin1String(key)).toBool() ? 1 : 0; };
    out.family("ventoro_sky_connected", "gauge", "1 while this server is connected to its sky.");
    out.sample("ventoro_sky_connected", flag("connected"));
    out.family("ventoro_sky_left", "gauge", "1 once this server left its sky: another server took its node number first.");
    out.sample("ventoro_sky_left", flag("left"));
    out.family("ventoro_sky_nodes", "gauge", "Other nodes of the sky heard from lately.");
    out.sample("ventoro_sky_nodes", sky.value(QLatin1String("nodes")).toArray().size());
    out.family("ventoro_sky_remote_players", "gauge", "Pilots on other nodes of the sky.");
    out.sample("ventoro_sky_remote_players", number(sky, "remotePlayers"));
    out.family("ventoro_sky_messages_total", "counter", "Sky messages taken in and published.");
    out.sample("ventoro_sky_messages_total", number(sky, "messagesIn"), label("direction", QStringLiteral("in")));
    out.sample("ventoro_sky_messages_total", number(sky, "messagesOut"), label("direction", QStringLiteral("out")));
    out.family("ventoro_sky_records_total", "counter", "Pilots' records taken in from the sky and published to it.");
    out.sample("ventoro_sky_records_total", number(sky, "recordsIn"), label("direction", QStringLiteral("in")));
    out.sample("ventoro_sky_records_total", number(sky, "recordsOut"), label("direction", QStringLiteral("out")));
    out.family("ventoro_sky_dropped_messages_total", "counter", "Sky messages dropped whole, by reason.");
    const QJsonObject dropped = sky.value(QLatin1String("dropped")).toObject();
    for (const char *reason : {"malformed", "too_large", "wrong_node", "foreign_server_id", "unknown_subject"})
        out.sample("ventoro_sky_dropped_messages_total", number(dropped, reason), label("reason", QLatin1String(reason)));
}

} // namespace

QByteArray labelValue(const QString &text)
{
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return value;
}

QByteArray exposition(const QJsonObject &status)
{
    const QJsonObject counters = status.value(QLatin1String("counters")).toObject();
    Exposition out;
    out.family("ventoro_build_info", "gauge", "The server's version, as a label; the value is always 1.");
    out.sample("ventoro_build_info", 1, label("version", status.value(QLatin1String("version")).toString()));
    out.family("ventoro_uptime_seconds", "gauge", "Seconds since the server began to listen.");
    out.sample("ventoro_uptime_seconds", number(status, "uptimeSeconds"));
    out.family("ventoro_players", "gauge", "Pilots logged on now.");
    out.sample("ventoro_players", status.value(QLatin1String("players")).toArray().size());
    out.family("ventoro_restored_players", "gauge",
               "Pilots taken over from the previous run's registry checkpoint when this run started.");
    out.sample("ventoro_restored_players", number(counters, "playersRestored"));
    out.family("ventoro_datagrams_received_total", "counter", "Datagrams handed to the record handling.");
    out.sample("ventoro_datagrams_received_total", number(counters, "datagramsReceived"));
    out.family("ventoro_records_relayed_total", "counter", "Records passed on to another pilot, one per recipient.");
    out.sample("ventoro_records_relayed_total", number(counters, "recordsRelayed"));
    out.family("ventoro_records_ignored_total", "counter",
               "Records ignored: an unknown type, or one naming a pilot it did not come from.");
    out.sample("ventoro_records_ignored_total", number(counters, "recordsIgnored"));
    logons(out, counters);
    out.family("ventoro_stale_flight_records_dropped_total", "counter",
               "Flight data records dropped because they waited too long in the server to be worth relaying.");
    out.sample("ventoro_stale_flight_records_dropped_total", number(counters, "staleFlightDataDropped"));
    sendFailures(out, counters.value(QLatin1String("sendFailuresByType")).toObject());
    out.family("ventoro_receive_queue_dropped_datagrams_total", "counter",
               "Datagrams dropped, oldest first, because the server's receive queue was full.");
    out.sample("ventoro_receive_queue_dropped_datagrams_total", number(counters, "receiveQueueDrops"));
    out.family("ventoro_odd_sized_datagrams_dropped_total", "counter",
               "Datagrams dropped as they came because their size is no whole number of 128-byte records.");
    out.sample("ventoro_odd_sized_datagrams_dropped_total", number(counters, "oddSizedDatagramsDropped"));
    out.family("ventoro_mapped_sources_dropped_total", "counter",
               "IPv6 datagrams dropped for claiming an IPv4-mapped source address.");
    out.sample("ventoro_mapped_sources_dropped_total", number(counters, "mappedSourcesDropped"));
    if (status.contains(QLatin1String("sky")))
        skyFamilies(out, status.value(QLatin1String("sky")).toObject());
    return out.text();
}

} // namespace StatusMetrics
