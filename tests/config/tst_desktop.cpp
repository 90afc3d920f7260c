// The pieces both windows share: pictures, centring, product label.
#include "Artwork.h"
#include "ProductLabel.h"
#include "WindowGeometry.h"

#include <QtTest>

class tst_Desktop : public QObject
{
    Q_OBJECT

private slots:
    void iconsUseSixteenColours_data();
    void iconsUseSixteenColours();
    void decorativePicture();
    void centredPosition_data();
    void centredPosition();
    void productLabel();
};

void tst_Desktop::iconsUseSixteenColours_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("32") << 32;
    QTest::newRow("16") << 16;
}

void tst_Desktop::iconsUseSixteenColours()
{
    QFETCH(int, size);
    const QImage icon = Artwork::iconImage(size);
    QCOMPARE(icon.size(), QSize(size, size));
    const QList<QRgb> colours = Artwork::sixteenColours();
    QSet<QRgb> used;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = icon.pixel(x, y);
            if (qAlpha(pixel) != 0)
                used.insert(pixel);
        }
    }
    QVERIFY(used.size() >= 3);
    for (const QRgb colour : used)
        QVERIFY2(colours.contains(colour), qPrintable(QString::number(colour, 16)));
}

void tst_Desktop::decorativePicture()
{
    const QImage picture = Artwork::decorativeImage();
    QCOMPARE(picture.size(), QSize(61, 149));
    // The band slants up to the right: teal at the bottom left and the top right.
    QCOMPARE(QColor(picture.pixel(5, 140)).rgb(), qRgb(0, 128, 128));
    QCOMPARE(QColor(picture.pixel(55, 8)).rgb(), qRgb(0, 128, 128));
    QCOMPARE(qAlpha(picture.pixel(55, 140)), 0);
}

void tst_Desktop::centredPosition_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QPoint>("position");
    QTest::newRow("odd remainders round down") << QRect(0, 0, 800, 600) << QSize(687, 289) << QPoint(56, 155);
    QTest::newRow("second screen") << QRect(1024, 0, 1024, 768) << QSize(100, 100) << QPoint(1486, 334);
    QTest::newRow("window larger than screen") << QRect(0, 0, 640, 480) << QSize(687, 489) << QPoint(-24, -5);
}

void tst_Desktop::centredPosition()
{
    QFETCH(QRect, screen);
    QFETCH(QSize, window);
    QFETCH(QPoint, position);
    QCOMPARE(::centredPosition(screen, window), position);
}

void tst_Desktop::productLabel()
{
    QCOMPARE(ProductLabel::text(), QStringLiteral("Ventoro Server Module. (c) Brisalt Ltd Ver:1.0.2"));
    QVERIFY(ProductLabel::text({1, 12, 0}).endsWith(QStringLiteral("Ver:1.12.0")));
    QCOMPARE(twipRect(9270, 0, 915, 2235), QRect(618, 0, 61, 149));
}

QTEST_GUILESS_MAIN(tst_Desktop)
#include "tst_desktop.moc"
