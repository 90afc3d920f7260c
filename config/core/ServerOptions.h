#pragma once

#include "INIFiles.h"

#include <QString>

// The four server options the tool edits, in section "General" of
// VentoroServer.ini. Other keys of the section are never touched.
namespace ServerOptions {

struct Options {
    QString MOTD;
    bool Debug = false;
    bool DebugLowLevel = false;
    bool ShowScreen = false;
};

// Reads "MOTD" (empty when missing), then "Debug", "DebugLowLevel" and
// "ShowScreen", each with the server's default for a missing key, so every
// box shows what the server will make of the file as it stands. A switch
// holding another number than 0 or 1 shows as on and is saved back as "1".
Options load(const INIFiles &ServerIni);

// Writes "MOTD", "Debug", "DebugLowLevel" and "ShowScreen", in that order,
// the switches as "0" or "1", in one replacement of the file. True when the
// file reads back with all four as written; false when it could not be
// written, and it is then as it was.
bool save(INIFiles &ServerIni, const Options &options);

} // namespace ServerOptions
