#pragma once

#include "ctlWinsock.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class ServerContext;

// The debug screen. It is loaded for the whole run, shown or hidden, and
// hosts the server's socket (ctlWinsock) and sweep timer (Timer1). It shows
// the product label and whether logging is active; no log lines and no
// players.
class frmDebug : public QWidget
{
    Q_OBJECT

public:
    explicit frmDebug(ServerContext &context);

    ctlWinsock &socket() { return m_ctlWinsock; }
    QTimer &timer() { return m_Timer1; }
    QLabel *label1() const { return m_Label1; }

    // Binds the socket to the settings' ports. On failure the operator is
    // told (a box when the screen is shown, a log line when it is hidden)
    // and false comes back: the server then ends.
    bool Start_Listening();

    // Closes the socket; runs whenever the screen is about to go.
    void Form_QueryUnload();

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void Form_Load();
    void bindFailed(const QString &errorText);

    ServerContext &m_context;
    ctlWinsock m_ctlWinsock;
    QTimer m_Timer1;
    QLabel *m_lblProductDescr = nullptr;
    QLabel *m_Label1 = nullptr;
    QLabel *m_Image1 = nullptr;
};
