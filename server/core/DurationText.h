#pragma once

#include <QString>

// A span of whole seconds as people read it in the status views:
// "1 h 02 min 05 s", "3 min 00 s", "42 s".
QString durationText(qint64 seconds);
