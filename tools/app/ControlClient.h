#pragma once

#include <QJsonObject>
#include <QString>

// Asks the server running on this machine, through its local control
// socket, and waits (bounded) for its one-line JSON answer. The server is
// found by its instance name: VENTORO_INSTANCE, or the default one.
namespace ControlClient {

constexpr int TimeoutMs = 5000;

struct Reply {
    bool reached = false;  // an answer came back
    QJsonObject answer;    // {"ok": ..., ...} as the server sent it
    QString error;         // why there is no answer, in plain words
};

Reply ask(const QByteArray &request);

} // namespace ControlClient
