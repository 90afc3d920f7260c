#include "frmDebug.h"

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

// Line1 runs under the product label, 3 pixels wide.
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

frmDebug::frmDebug(ServerContext &context) : m_context(context)
{
    setObjectName(QStringLiteral("frmDebug"));
    setWindowTitle(QStringLiteral("Ventoro Debug Screen"));
    setWindowIcon(Artwork::windowIcon());
    setFixedSize(twips(10245), twips(2460));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::white);
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    m_lblProductDescr = makeLabel(this, "lblProductDescr", twipRect(90, 0, 7935, 465));
    m_Label1 = makeLabel(this, "Label1", twipRect(1080, 1080, 5235, 465));
    m_Label1->setText(QStringLiteral("Logging Active. Saving to log.txt"));
    QPalette red = m_Label1->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_Label1->setPalette(red);
    m_Image1 = new QLabel(this);
    m_Image1->setObjectName(QStringLiteral("Image1"));
    m_Image1->setGeometry(twipRect(9360, 0, 915, 2235));
    m_Image1->setPixmap(Artwork::decorativePicture());

    m_ctlWinsock.setObjectName(QStringLiteral("ctlWinsock"));
    m_Timer1.setObjectName(QStringLiteral("Timer1"));
    m_Timer1.setInterval(HeartbeatSweep::TimerIntervalMs);
    connect(&m_Timer1, &QTimer::timeout, this, [this] { HeartbeatSweep::Timer1_Timer(m_context); });
    connect(&m_ctlWinsock, &ctlWinsock::Closed, this, [this] { HeartbeatSweep::ctlWinsock_Close(m_context); });
    Form_Load();
}

void frmDebug::Form_Load()
{
    m_lblProductDescr->setText(ProductLabel::text());
    centreOnScreen(this);
    m_Timer1.start();
}

bool frmDebug::Start_Listening()
{
    QString error;
    const std::optional<StartupOptions::Ports> ports = StartupOptions::readPorts(m_context.ServerIni, &error);
    if (!ports) {
        bindFailed(error);
        return false;
    }
    m_ctlWinsock.setRemotePort(ports->replyPort);
    if (!m_ctlWinsock.Bind(ports->localPort, &error)) {
        bindFailed(error);
        return false;
    }
    if (m_context.ordinaryLinesOn())
        m_context.logEvent(QStringLiteral("Listening on ") + m_ctlWinsock.LocalIP());
    return true;
}

void frmDebug::bindFailed(const QString &errorText)
{
    if (isVisible()) {
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing"));
    } else {
        if (m_context.ordinaryLinesOn())
            m_context.logEvent(QStringLiteral("Error binding to Adapter and port ") + errorText);
        // A hidden server still says why it stops, on standard error.
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing (%1)").arg(errorText), false);
    }
    Form_QueryUnload();
}

void frmDebug::Form_QueryUnload()
{
    m_Timer1.stop();
    m_ctlWinsock.Close();
}

void frmDebug::closeEvent(QCloseEvent *event)
{
    Form_QueryUnload();
    event->accept();
}

void frmDebug::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawLine(kLineFrom, kLineTo);
}
