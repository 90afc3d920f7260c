#pragma once

#include <QString>
#include <QStringList>

// Ports for integration tests, chosen by the system so that parallel tests
// do not collide. A port is free at the moment of the call only; bind it
// soon.

// A UDP port nothing is bound to on host ("0.0.0.0" means every address,
// and a port free there is free on each of them). 0 when none was found.
quint16 freeUdpPort(const QString &host = QStringLiteral("127.0.0.1"));

// A TCP port nothing listens on at host. 0 when none was found.
quint16 freeTcpPort(const QString &host = QStringLiteral("127.0.0.1"));

// A UDP port free on every one of hosts, e.g. the reply port shared by
// clients on 127.0.0.2, 127.0.0.3 and so on. 0 when none was found.
quint16 freeUdpPort(const QStringList &hosts);

// The client addresses 127.0.0.2 up to 127.0.0.(count + 1).
QStringList clientAddresses(int count);
