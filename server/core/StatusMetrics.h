#pragma once

#include <QByteArray>
#include <QJsonObject>

// The run's counters for a Prometheus scrape, in its text exposition format
// (version 0.0.4), made from a status document (OperatorCommands::status).
// Every family has its HELP and TYPE lines and the "ventoro_" prefix;
// counters end in "_total", times are in seconds. Labels name only outcomes
// and record types, never a pilot or an address, so the number of series
// stays fixed.
//
// Logons are counted once each by outcome: "rejected" holds the rejections
// that are neither throttled, banned nor refused for being full.
namespace StatusMetrics {

inline constexpr char ContentType[] = "text/plain; version=0.0.4; charset=utf-8";

QByteArray exposition(const QJsonObject &status);

// A label value as the format quotes it: backslash, double quote and line
// feed escaped.
QByteArray labelValue(const QString &text);

} // namespace StatusMetrics
