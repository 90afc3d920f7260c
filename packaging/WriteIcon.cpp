// Writes the programs' icon, which is drawn in code, as a PNG file for the
// desktop entries: write_icon FILE SIZE.
#include "Artwork.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    const int size = arguments.value(2).toInt();
    if (arguments.size() != 3 || size < 16 || size > 512) {
        std::fprintf(stderr, "usage: write_icon FILE SIZE (16 to 512)\n");
        return 2;
    }
    if (!Artwork::iconImage(size).convertToFormat(QImage::Format_ARGB32).save(arguments.at(1), "PNG")) {
        std::fprintf(stderr, "write_icon: cannot write %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    return 0;
}
