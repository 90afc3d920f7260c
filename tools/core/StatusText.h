#pragma once

#include <QJsonObject>
#include <QString>

// The running server's status, as the control socket gives it, in plain
// text for people: uptime and ports, one line per player, the counters.
namespace StatusText {

// "1 h 02 min 05 s", "3 min 00 s", "42 s".
QString duration(qint64 seconds);

QString format(const QJsonObject &status);

} // namespace StatusText
