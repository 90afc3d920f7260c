#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

// The two pictures both windows show, drawn in code so that no image files
// travel with the programs. Both show the same motif: a teal band that
// slants up to the right, with arrows running along it.
namespace Artwork {

// The window icon at 32 by 32 or 16 by 16 pixels (other sizes are drawn to
// scale), in 16 colours: an 8-bit indexed image whose colour table
// holds the 16 standard colours of the classic palette plus one fully
// transparent entry for the pixels outside the motif.
QImage iconImage(int size);

// Both icon sizes in one icon, for QWidget::setWindowIcon.
QIcon windowIcon();

// The decorative picture: 61 by 149 pixels, transparent background, a
// slanted teal band with three white arrows pointing along it.
QImage decorativeImage();

// decorativeImage() as a pixmap. Needs a QGuiApplication, as every pixmap does.
QPixmap decorativePicture();

// The 16 colours an icon may use, in their classic order (black first,
// white last).
QList<QRgb> sixteenColours();

} // namespace Artwork
