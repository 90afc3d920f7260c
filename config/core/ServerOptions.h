#pragma once

#include "INIFiles.h"

#include <QString>

#include <string_view>

// The four server options the tool edits, in section "General" of
// VentoroServer.ini. Other keys of the section are never touched.
namespace ServerOptions {

struct Options {
    QString MOTD;
    bool Debug = false;
    bool DebugLowLevel = false;
    bool ShowScreen = false;
};

// A logging switch ("Debug", "DebugLowLevel") as the server takes it: a
// number is on unless it is 0, the words True and False count as such, and
// anything else (missing, empty, other text) counts as on, the server's
// default.
bool loggingSwitch(std::string_view text);

// "ShowScreen" as the server takes it: on unless the number at the start of
// the text is 0 (empty text and other text give 0).
bool screenSwitch(std::string_view text);

// Reads "MOTD" (empty when missing), then "Debug", "DebugLowLevel" and
// "ShowScreen", each with the server's default for a missing key, so every
// box shows what the server will make of the file as it stands. A switch
// holding another number than 0 or 1 shows as on and is saved back as "1".
Options load(const INIFiles &ServerIni);

// Writes "MOTD", "Debug", "DebugLowLevel" and "ShowScreen", in that order,
// the switches as "0" or "1".
void save(INIFiles &ServerIni, const Options &options);

} // namespace ServerOptions
