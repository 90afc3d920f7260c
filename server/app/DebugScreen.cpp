#include "DebugScreen.h"

#include "Artwork.h"
#include "ProductLabel.h"
#include "RelayService.h"
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

DebugScreen::DebugScreen(const RelayService &service)
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
    m_statusLabel->setText(service.context().ordinaryLinesOn() ? QStringLiteral("Logging Active. Saving to log.txt")
                                                               : QStringLiteral("Logging Not Active."));
    QPalette red = m_statusLabel->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_statusLabel->setPalette(red);
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("picture"));
    m_picture->setGeometry(twipRect(9360, 0, 915, 2235));
    m_picture->setPixmap(Artwork::decorativePicture());
    load();
}

void DebugScreen::load()
{
    m_lblProductDescr->setText(ProductLabel::text());
    centreOnScreen(this);
}

void DebugScreen::showSky(const QString &text)
{
    if (!m_skyLabel)
        m_skyLabel = makeLabel(this, "skyLabel", twipRect(1080, 1620, 8000, 465));
    m_skyLabel->setText(text);
    m_skyLabel->show();
}

void DebugScreen::closeEvent(QCloseEvent *event)
{
    emit closing();
    event->accept();
}

void DebugScreen::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawLine(kLineFrom, kLineTo);
}
