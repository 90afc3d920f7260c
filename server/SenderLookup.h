#pragma once

#include "Player.h"

class ServerContext;

// The registered player whose server ID is `senderID` and whose address is
// the one the record came from, or null. Keep-alives and flight records
// count only from there: nobody can speak for another pilot.
PlayerPtr findSenderAt(const ServerContext &context, qint32 senderID, const QString &senderIP);
