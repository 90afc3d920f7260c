#pragma once

#include <QByteArray>
#include <QString>

// Client records for the load generator, built as a client builds them.
namespace BenchRecords {

QByteArray logonRequest(qint32 pilotID, qint32 password, const QString &handle);
QByteArray keepAlive(qint32 serverID);
// A flight record carrying a sequence number and a send time (nanoseconds
// of the real-time clock) in the client-defined bytes.
QByteArray flightRecord(qint32 type, qint32 serverID, quint32 sequence, qint64 sentAtNs);
// The send time of such a record, from its first 28 bytes.
qint64 sentAtNs(const char *record);
// The accounts file for pilots 1..count, password = pilot ID + 1000.
QByteArray accounts(int count);

} // namespace BenchRecords
