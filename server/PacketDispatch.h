#pragma once

#include <QByteArray>
#include <QString>

class ServerContext;

// Decodes one datagram (its first 128 bytes; missing bytes read as zero) and
// hands it to the handling of its class and type. Records of any other class
// or type are ignored: no reply, no log line, no change.
void Process_PacketIN(ServerContext &context, const QByteArray &bt, const QString &strsenderIP);
