#include "DebugScreen.h"

#include "Artwork.h"
#include "HeartbeatSweep.h"
#include "OperatorMessage.h"
#include "ProductLabel.h"
#include "ServerContext.h"
#include "StartupOptions.h"
#include "WindowGeometry.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>

namespace {

// The rule under the product label, 3 pixels wide.
constexpr QPoint kLineFrom(twips(90), twips(540));
constexpr QPoint kLineTo(twips(9270), twips(540));

QLabel *makeLabel(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setFont(ProductLabel::font());
    return label;
}

} // namespace

DebugScreen::DebugScreen(ServerContext &context) : m_context(context)
{
    setObjectName(QStringLiteral("DebugScreen"));
    setWindowTitle(QStringLiteral("Ventoro Debug Screen"));
    setWindowIcon(Artwork::windowIcon());
    setFixedSize(twips(10245), twips(2460));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    m_lblProductDescr = makeLabel(this, "lblProductDescr", twipRect(90, 0, 7935, 465));
    m_statusLabel = makeLabel(this, "statusLabel", twipRect(1080, 1080, 5235, 465));
    m_statusLabel->setText(QStringLiteral("Logging Active. Saving to log.txt"));
    QPalette red = m_statusLabel->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_statusLabel->setPalette(red);
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("picture"));
    m_picture->setGeometry(twipRect(9360, 0, 915, 2235));
    m_picture->setPixmap(Artwork::decorativePicture());

    m_endpoint.setObjectName(QStringLiteral("endpoint"));
    m_sweepTimer.setObjectName(QStringLiteral("sweepTimer"));
    m_sweepTimer.setInterval(HeartbeatSweep::TimerIntervalMs);
    connect(&m_sweepTimer, &QTimer::timeout, this, [this] { HeartbeatSweep::onSweepTick(m_context); });
    connect(&m_endpoint, &UdpEndpoint::closed, this, [this] { HeartbeatSweep::onSocketClosed(m_context); });
    load();
}

void DebugScreen::load()
{
    m_lblProductDescr->setText(ProductLabel::text());
    centreOnScreen(this);
    m_sweepTimer.start();
}

bool DebugScreen::startListening()
{
    QString error;
    const std::optional<StartupOptions::Ports> ports = StartupOptions::readPorts(m_context.ServerIni, &error);
    if (!ports) {
        bindFailed(error);
        return false;
    }
    m_endpoint.setRemotePort(ports->replyPort);
    if (!m_endpoint.bind(ports->localPort, &error)) {
        bindFailed(error);
        return false;
    }
    if (m_context.ordinaryLinesOn())
        m_context.logEvent(QStringLiteral("Listening on ") + m_endpoint.localAddress());
    return true;
}

void DebugScreen::bindFailed(const QString &errorText)
{
    if (isVisible() && OperatorMessage::hasScreen()) {
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing"));
    } else {
        // Nobody would see a box: the reason goes to the log and, so that a
        // server started without logging says it too, to standard error.
        const QString event = QStringLiteral("Error binding to Adapter and port ") + errorText;
        if (m_context.ordinaryLinesOn())
            m_context.logEvent(event);
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing\n")
                                  + m_context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss - ")) + event,
                              false);
    }
    stopListening();
}

void DebugScreen::stopListening()
{
    m_sweepTimer.stop();
    m_endpoint.close();
}

void DebugScreen::closeEvent(QCloseEvent *event)
{
    stopListening();
    event->accept();
}

void DebugScreen::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawLine(kLineFrom, kLineTo);
}
