#pragma once

#include <QByteArray>
#include <QJsonObject>

// The status page a browser shows: who is on (handle, time since logon,
// whether the aircraft details came), the server's uptime and the message
// of the day, made from a status document (OperatorCommands::status) for
// the public, which holds no addresses.
//
// One self-contained HTML5 document in UTF-8: no script, no external
// resources, readable at a phone's width, reloading itself every
// RefreshSeconds. Every text in it passes through NetworkText::html.
namespace StatusPage {

constexpr int RefreshSeconds = 5;

QByteArray html(const QJsonObject &status);

} // namespace StatusPage
