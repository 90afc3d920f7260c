#pragma once

#include "INIFiles.h"

#include <QString>

#include <optional>

// The server options the tool edits, in section "General" of
// VentoroServer.ini. Other keys of the section are never touched.
namespace ServerOptions {

struct Options {
    QString MOTD;
    bool Debug = false;
    bool DebugLowLevel = false;
    bool ShowScreen = false;
    bool ReplyToSourcePort = false;
    // As the boxes hold them; check() says whether the server takes them.
    QString MaxPilots;
    QString HttpPort;
    QString HttpAddress;
};

// Reads "MOTD" (empty when missing), then "Debug", "DebugLowLevel" and
// "ShowScreen", each with the server's default for a missing key, so every
// box shows what the server will make of the file as it stands. A switch
// holding another number than 0 or 1 shows as on and is saved back as "1".
// "ReplyToSourcePort" shows as the server takes it (off unless it reads as
// on); "MaxPilots", "HttpPort" and "HttpAddress" show their text without
// the blanks around it, or the server's default when missing.
Options load(const INIFiles &ServerIni);

// Why the server could not take a value of `options` as it stands, in the
// words the server would use on reading it; nothing when it takes them all.
// The address counts only when the status page is on (HttpPort not 0), as
// for the server.
std::optional<QString> check(const Options &options);

// Writes "MOTD", "Debug", "DebugLowLevel", "ShowScreen", then
// "ReplyToSourcePort", "MaxPilots", "HttpPort" and "HttpAddress", in that
// order, the switches as "0" or "1" and the numbers in decimal without
// leading zeros, in one replacement of the file. One of the last four that
// the file lacks is written only when it differs from the server's default.
// The caller has checked `options`. True when the file reads back with
// every value as written; false when it could not be written, and it is
// then as it was.
bool save(INIFiles &ServerIni, const Options &options);

// What a running server needs before it works by `after` rather than
// `before`: a reload for the message of the day and the pilot limit, a
// restart for any other option. Empty when nothing the server reads has
// changed.
QString changeNote(const Options &before, const Options &after);

} // namespace ServerOptions
