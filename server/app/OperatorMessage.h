#pragma once

#include <QString>

// Tells the operator something that needs reading: a modal box titled
// "ERROR" with an OK button when there is a screen to show it on, and a
// line on standard error when the server runs without one (a box nobody
// can see would wait for ever), headless servers included. `detail`, when
// given, follows the text: below it in the box, on a line of its own on
// standard error.
namespace OperatorMessage {

bool hasScreen();
void show(const QString &text, bool windowShown = true, const QString &detail = QString());

} // namespace OperatorMessage
