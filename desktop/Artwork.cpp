#include "Artwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <climits>
#include <cmath>
#include <numbers>

namespace Artwork {
namespace {

constexpr QSize kPictureSize(61, 149);
constexpr QRgb kTeal = 0xff008080;
constexpr QRgb kDarkTeal = 0xff005a5a;
constexpr QRgb kTransparent = 0x00000000;

// An arrow pointing along +x, centred on the origin.
QPainterPath arrowShape(qreal length, qreal headWidth, qreal shaftWidth)
{
    const qreal half = length / 2;
    const qreal headLength = length * 0.45;
    QPolygonF outline;
    outline << QPointF(half, 0) << QPointF(half - headLength, -headWidth / 2)
            << QPointF(half - headLength, -shaftWidth / 2) << QPointF(-half, -shaftWidth / 2)
            << QPointF(-half, shaftWidth / 2) << QPointF(half - headLength, shaftWidth / 2)
            << QPointF(half - headLength, headWidth / 2);
    QPainterPath path;
    path.addPolygon(outline);
    path.closeSubpath();
    return path;
}

// The band runs from its bottom edge (`bottomLeft` to `bottomRight`) up to
// its top edge, shifted right by `slant`. Arrows sit on its centre line at
// the given fractions of its length, pointing upwards along it.
struct Band {
    QPolygonF outline;
    QPointF bottomCentre;
    QPointF topCentre;
};

Band slantedBand(qreal width, qreal height, qreal bandWidth)
{
    const qreal slant = width - bandWidth;
    Band band;
    band.outline << QPointF(0, height) << QPointF(bandWidth, height) << QPointF(width, 0) << QPointF(slant, 0);
    band.bottomCentre = QPointF(bandWidth / 2, height);
    band.topCentre = QPointF(slant + bandWidth / 2, 0);
    return band;
}

void drawArrowsAlong(QPainter &painter, const Band &band, const QList<qreal> &positions, const QPainterPath &arrow)
{
    const QPointF direction = band.topCentre - band.bottomCentre;
    const qreal degrees = std::atan2(direction.y(), direction.x()) * 180.0 / std::numbers::pi;
    for (const qreal t : positions) {
        QTransform placement;
        placement.translate(band.bottomCentre.x() + direction.x() * t, band.bottomCentre.y() + direction.y() * t);
        placement.rotate(degrees);
        painter.drawPath(placement.map(arrow));
    }
}

int nearestColour(QRgb pixel, const QList<QRgb> &colours)
{
    int best = 0;
    int bestDistance = INT_MAX;
    for (int i = 0; i < colours.size(); ++i) {
        const int dr = qRed(pixel) - qRed(colours[i]);
        const int dg = qGreen(pixel) - qGreen(colours[i]);
        const int db = qBlue(pixel) - qBlue(colours[i]);
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// Maps every pixel to the nearest of the 16 colours; pixels that are more
// than half transparent take the transparent entry at the end of the table.
QImage toSixteenColours(const QImage &source)
{
    const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
    QList<QRgb> table = sixteenColours();
    const int transparentIndex = int(table.size());
    QImage indexed(argb.size(), QImage::Format_Indexed8);
    table.append(kTransparent);
    indexed.setColorTable(table);
    table.removeLast();
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb pixel = argb.pixel(x, y);
            indexed.setPixel(x, y, qAlpha(pixel) < 128 ? uint(transparentIndex) : uint(nearestColour(pixel, table)));
        }
    }
    return indexed;
}

QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    // No antialiasing: the icon keeps hard edges in its few colours.
    painter.scale(size / 32.0, size / 32.0);
    const Band band = slantedBand(30, 30, 14);
    painter.translate(1, 1);
    painter.setPen(QPen(QColor(Qt::black), 1));
    painter.setBrush(QColor(kTeal));
    painter.drawPolygon(band.outline);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    drawArrowsAlong(painter, band, {0.5}, arrowShape(18, 11, 4));
    painter.end();
    return image;
}

} // namespace

QList<QRgb> sixteenColours()
{
    return {0xff000000, 0xff800000, 0xff008000, 0xff808000, 0xff000080, 0xff800080, 0xff008080, 0xffc0c0c0,
            0xff808080, 0xffff0000, 0xff00ff00, 0xffffff00, 0xff0000ff, 0xffff00ff, 0xff00ffff, 0xffffffff};
}

QImage iconImage(int size)
{
    return toSixteenColours(drawIcon(qMax(size, 1)));
}

QIcon windowIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(iconImage(32)));
    icon.addPixmap(QPixmap::fromImage(iconImage(16)));
    return icon;
}

QImage decorativeImage()
{
    QImage image(kPictureSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const Band band = slantedBand(kPictureSize.width(), kPictureSize.height(), 26);
    painter.setPen(QPen(QColor(kDarkTeal), 1.5));
    painter.setBrush(QColor(kTeal));
    painter.drawPolygon(band.outline);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    drawArrowsAlong(painter, band, {0.2, 0.5, 0.8}, arrowShape(22, 14, 5));
    painter.end();
    return image;
}

QPixmap decorativePicture()
{
    return QPixmap::fromImage(decorativeImage());
}

} // namespace Artwork
