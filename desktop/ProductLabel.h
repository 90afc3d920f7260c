#pragma once

#include <QFont>
#include <QString>

// The product label both windows show along their top edge.
namespace ProductLabel {

// The program's version, as its major, minor and revision numbers.
struct Version {
    int majorNumber;
    int minorNumber;
    int revision;
};

// This build's version (1.0.2).
Version programVersion();

// "Ventoro Server Module. (c) Brisalt Ltd Ver:" followed by the version's
// three numbers in plain decimal, joined by ".": for 1, 12, 0 the label ends
// "Ver:1.12.0".
QString text(const Version &version);

// The label of this build: text(programVersion()).
QString text();

// Bold, 11.25 point, in "Comic Sans MS". Where that family is missing the
// font matcher picks the nearest informal face, then any sans-serif one, so
// the label is always drawn, at the same size.
QFont font();

} // namespace ProductLabel
