#pragma once

#include "Packet.h"

#include <QString>

// Received records in plain words, one line each, for people watching a
// server from a pilot's side.
namespace RecordText {

// One line: the type's name and the fields of its layout, e.g.
// "PlayerAdded: Bob (server ID 2)". Control characters and line
// separators in the record's texts are shown as "?".
QString describe(const Packet &record);

} // namespace RecordText
