#pragma once

#include <QString>

// Tells the operator something that needs reading: a modal box titled
// "ERROR" with an OK button when there is a screen to show it on, and a
// line on standard error when the server runs without one (a box nobody
// can see would wait for ever), headless servers included.
namespace OperatorMessage {

bool hasScreen();
void show(const QString &text, bool windowShown = true);

} // namespace OperatorMessage
