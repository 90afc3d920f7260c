#pragma once

#include <QString>
#include <QStringList>

class INIFiles;

// The sky settings of VentoroServer.ini, read at start-up.
namespace SkyOptions {

struct Options {
    QString url;         // empty: no sky
    int node = 0;        // 1-127
    QString name;        // letters, digits, '-' and '_'
    QString credentials; // a NATS credentials file, or empty
    QString caFile;      // for tls://, or empty
    // Why a value that was set leaves the server alone, for the operator.
    QStringList warnings;

    bool on() const { return !url.isEmpty(); }
};

// Reads "SkyUrl", "SkyNode", "SkyName", "SkyCredentials" and "SkyCaFile".
// An empty "SkyUrl" is no sky, whatever the others say. A value that cannot
// be used (a URL that is not nats:// or tls://, a node outside 1-127, a name
// NATS could not carry in a subject, a file that cannot be read) turns the
// sky off with a warning naming the key: the server then runs alone.
Options read(const INIFiles &serverIni);

// The URLs with any password replaced by "***", for the log and the screen.
QString redactedUrl(const QString &urls);

} // namespace SkyOptions
