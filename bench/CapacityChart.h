#pragma once

#include <QList>
#include <QString>

// The capacity table as a picture: delivered relayed datagrams per second
// (above, with the load offered) and p99 latency (below, on a logarithmic
// scale) against the number of pilots, one line per relay. Needs a
// QGuiApplication (any platform, "offscreen" will do) for its text.
namespace CapacityChart {

struct Point {
    int pilots = 0;
    double relaysPerSecond = 0;
    double p99us = 0;
    bool loadGeneratorLimited = false; // drawn hollow: the relay was not what limited it
};

struct Series {
    QString relay;
    QList<Point> points; // in ascending pilots
};

// Writes a PNG to `path`; false when it cannot be written.
bool write(const QString &path, const QString &title, int rate, const QList<Series> &series);

} // namespace CapacityChart
