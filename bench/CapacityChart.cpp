#include "CapacityChart.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace CapacityChart {
namespace {

constexpr int Width = 960;
constexpr int PanelHeight = 340;
constexpr int Left = 110;
constexpr int Right = 180; // room for the legend
constexpr int Top = 50;
constexpr int Gap = 70;
constexpr double LatencyFloorUs = 100;     // 0.1 ms
constexpr double LatencyCeilingUs = 1e7;   // 10 s

const QList<QColor> Colours{QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
                            QColor(0xd6, 0x27, 0x28)};

// Maps a value range onto one panel's plotting area.
struct Panel {
    QRectF area;
    double minPilots;
    double maxPilots;
    double low;  // value at the bottom (log10 of it when logarithmic)
    double high; // value at the top
    bool logarithmic;

    QPointF at(double pilots, double value) const
    {
        const double v = logarithmic ? std::log10(std::clamp(value, LatencyFloorUs, LatencyCeilingUs)) : value;
        return {area.left() + area.width() * (pilots - minPilots) / std::max(1.0, maxPilots - minPilots),
                area.bottom() - area.height() * (v - low) / (high - low)};
    }
};

// A round step for about five grid lines up to `top`.
double gridStep(double top)
{
    const double raw = top / 5;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
        if (raw <= factor * power)
            return factor * power;
    }
    return 10 * power;
}

QString compact(double value)
{
    if (value >= 1e6)
        return QString::number(value / 1e6, 'g', 3) + QStringLiteral(" M");
    if (value >= 1e3)
        return QString::number(value / 1e3, 'g', 3) + QStringLiteral(" k");
    return QString::number(value, 'g', 3);
}

QString latencyText(double us)
{
    return us >= 1e6 ? QStringLiteral("%1 s").arg(us / 1e6) : QStringLiteral("%1 ms").arg(us / 1e3);
}

void drawFrame(QPainter &painter, const Panel &panel, const QString &heading, const QList<int> &pilots)
{
    painter.setPen(Qt::black);
    painter.drawText(QRectF(panel.area.left(), panel.area.top() - 28, panel.area.width(), 22), Qt::AlignLeft, heading);
    painter.setPen(QPen(QColor(0xdd, 0xdd, 0xdd), 1));
    for (const int n : pilots)
        painter.drawLine(panel.at(n, 0).x(), panel.area.top(), panel.at(n, 0).x(), panel.area.bottom());
    painter.setPen(Qt::black);
    for (const int n : pilots)
        painter.drawText(QRectF(panel.at(n, 0).x() - 30, panel.area.bottom() + 4, 60, 20), Qt::AlignHCenter,
                         QString::number(n));
    painter.drawRect(panel.area);
}

void drawMarker(QPainter &painter, QPointF at, const QColor &colour, bool hollow)
{
    painter.setPen(QPen(colour, 2));
    painter.setBrush(hollow ? QBrush(Qt::white) : QBrush(colour));
    painter.drawEllipse(at, hollow ? 5 : 4, hollow ? 5 : 4);
}

// A line through `points`; with `hollow` (one per point) a marker on each.
void drawLine(QPainter &painter, const QList<QPointF> &points, const QPen &pen, const QList<bool> *hollow = nullptr)
{
    if (points.isEmpty())
        return;
    QPainterPath path(points.first());
    for (const QPointF &point : points.mid(1))
        path.lineTo(point);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    for (qsizetype i = 0; hollow && i < points.size(); ++i)
        drawMarker(painter, points[i], pen.color(), (*hollow)[i]);
}

} // namespace

bool write(const QString &path, const QString &title, int rate, const QList<Series> &series)
{
    QList<int> pilots;
    double topRate = 0;
    for (const Series &s : series) {
        for (const Point &point : s.points) {
            if (!pilots.contains(point.pilots))
                pilots.append(point.pilots);
            topRate = std::max(topRate, point.relaysPerSecond);
        }
    }
    if (pilots.isEmpty())
        return false;
    std::sort(pilots.begin(), pilots.end());
    const auto offered = [rate](int n) { return double(n) * double(n - 1) * rate; };
    topRate = std::max(topRate, offered(pilots.last()));
    const double step = gridStep(topRate);
    const double rateTop = std::ceil(topRate / step) * step;

    QImage image(Width, Top + 2 * PanelHeight + Gap + 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(14);
    painter.setFont(font);
    painter.drawText(QRectF(0, 8, Width, 24), Qt::AlignHCenter, title);

    const double plotWidth = Width - Left - Right;
    const Panel rates{QRectF(Left, Top + 20, plotWidth, PanelHeight - 40), double(pilots.first()),
                      double(pilots.last()), 0, rateTop, false};
    const Panel latencies{QRectF(Left, Top + PanelHeight + Gap, plotWidth, PanelHeight - 40), double(pilots.first()),
                          double(pilots.last()), std::log10(LatencyFloorUs), std::log10(LatencyCeilingUs), true};
    drawFrame(painter, rates, QStringLiteral("relayed datagrams delivered per second"), pilots);
    drawFrame(painter, latencies, QStringLiteral("p99 latency, send to receipt"), pilots);
    painter.drawText(QRectF(Left, latencies.area.bottom() + 24, plotWidth, 20), Qt::AlignHCenter,
                     QStringLiteral("pilots (N), each sending at %1 Hz").arg(rate));

    painter.setPen(QPen(QColor(0xdd, 0xdd, 0xdd), 1));
    for (double v = step; v <= rateTop; v += step)
        painter.drawLine(rates.at(pilots.first(), v), rates.at(pilots.last(), v));
    for (double us = LatencyFloorUs * 10; us <= LatencyCeilingUs; us *= 10)
        painter.drawLine(latencies.at(pilots.first(), us), latencies.at(pilots.last(), us));
    painter.setPen(Qt::black);
    for (double v = 0; v <= rateTop; v += step)
        painter.drawText(QRectF(0, rates.at(0, v).y() - 10, Left - 8, 20), Qt::AlignRight | Qt::AlignVCenter,
                         compact(v));
    for (double us = LatencyFloorUs; us <= LatencyCeilingUs; us *= 10)
        painter.drawText(QRectF(0, latencies.at(0, us).y() - 10, Left - 8, 20), Qt::AlignRight | Qt::AlignVCenter,
                         latencyText(us));

    QList<QPointF> offeredLine;
    for (const int n : pilots)
        offeredLine.append(rates.at(n, offered(n)));
    drawLine(painter, offeredLine, QPen(Qt::gray, 2, Qt::DashLine));

    double legendY = rates.area.top();
    const auto legend = [&](const QString &text, const QPen &pen) {
        painter.setPen(pen);
        painter.drawLine(QPointF(Width - Right + 16, legendY + 10), QPointF(Width - Right + 46, legendY + 10));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(Width - Right + 52, legendY, Right - 56, 20), Qt::AlignLeft | Qt::AlignVCenter, text);
        legendY += 24;
    };
    legend(QStringLiteral("offered"), QPen(Qt::gray, 2, Qt::DashLine));
    bool anyLimited = false;
    for (qsizetype i = 0; i < series.size(); ++i) {
        const QPen pen(Colours[i % Colours.size()], 2.5);
        QList<QPointF> delivered;
        QList<QPointF> p99;
        QList<bool> hollow;
        for (const Point &point : series[i].points) {
            delivered.append(rates.at(point.pilots, point.relaysPerSecond));
            p99.append(latencies.at(point.pilots, point.p99us));
            hollow.append(point.loadGeneratorLimited);
            anyLimited = anyLimited || point.loadGeneratorLimited;
        }
        drawLine(painter, delivered, pen, &hollow);
        drawLine(painter, p99, pen, &hollow);
        legend(series[i].relay, pen);
    }
    if (anyLimited) {
        drawMarker(painter, QPointF(Width - Right + 31, legendY + 10), Qt::gray, true);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(Width - Right + 52, legendY, Right - 56, 40), Qt::AlignLeft | Qt::TextWordWrap,
                         QStringLiteral("load generator was the limit"));
    }
    painter.end();
    return image.save(path, "PNG");
}

} // namespace CapacityChart
