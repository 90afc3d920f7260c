#pragma once

#include <QJsonObject>
#include <QString>

// Asks the server running on this machine, through its control socket, and
// waits (bounded) for its one-line JSON answer. The server is found by its
// instance name (VENTORO_INSTANCE, or the default one) in the runtime
// directories it may use (see RuntimeDirectory), and only trusted when the
// directory is one only root or its owner can write, and what answers runs
// as root or as that owner. An answer longer than MaxAnswerBytes is not
// read.
namespace ControlClient {

constexpr int TimeoutMs = 5000;
constexpr qint64 MaxAnswerBytes = 4 * 1024 * 1024;

struct Reply {
    bool reached = false;  // an answer came back
    bool noServer = false; // no server of that name runs here (nothing listens)
    QJsonObject answer;    // {"ok": ..., ...} as the server sent it
    QString error;         // why there is no answer, in plain words
};

Reply ask(const QByteArray &request);

} // namespace ControlClient
