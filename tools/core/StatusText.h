#pragma once

#include <QJsonObject>
#include <QString>

// The running server's status, as the control socket gives it, in plain
// text for people: uptime and ports, one line per player, the counters.
namespace StatusText {

QString format(const QJsonObject &status);

} // namespace StatusText
