#pragma once

#include <QWidget>

class QLabel;
class RelayService;

// The debug screen: a view of the relay service, made only when it is to be
// shown. It shows the product label and whether logging is active; no log
// lines and no players. Closing it ends the server.
class DebugScreen : public QWidget
{
    Q_OBJECT

public:
    // Reads the logging state of the service once: logging is settled
    // before the screen is made.
    explicit DebugScreen(const RelayService &service);

    // Says whether logging is active.
    QLabel *statusLabel() const { return m_statusLabel; }
    // A line under the logging status naming the sky and node this server
    // joined.
    void showSky(const QString &text);

signals:
    // The operator closed the screen: the server is to stop.
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void load();

    QLabel *m_lblProductDescr = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_skyLabel = nullptr;
    QLabel *m_picture = nullptr;
};
