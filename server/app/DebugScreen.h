#pragma once

#include "UdpEndpoint.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class ServerContext;

// The debug screen. It is loaded for the whole run, shown or hidden, and
// hosts the server's UDP endpoint and its heartbeat sweep timer. It shows
// the product label and whether logging is active; no log lines and no
// players.
class DebugScreen : public QWidget
{
    Q_OBJECT

public:
    explicit DebugScreen(ServerContext &context);

    UdpEndpoint &endpoint() { return m_endpoint; }
    QTimer &sweepTimer() { return m_sweepTimer; }
    // Says whether logging is active.
    QLabel *statusLabel() const { return m_statusLabel; }

    // Binds the socket to the settings' ports. On failure the operator is
    // told (a box when the screen is shown on a display; otherwise a log
    // line and the reason on standard error) and false comes back: the
    // server then ends.
    bool startListening();

    // Stops the sweep and closes the socket; runs whenever the screen is
    // about to go.
    void stopListening();

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void load();
    void bindFailed(const QString &errorText);

    ServerContext &m_context;
    UdpEndpoint m_endpoint;
    QTimer m_sweepTimer;
    QLabel *m_lblProductDescr = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_picture = nullptr;
};
