#include "DurationText.h"

QString durationText(qint64 seconds)
{
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString secs = QString::number(seconds % 60).rightJustified(hours || minutes ? 2 : 1, QLatin1Char('0'));
    if (hours)
        return QStringLiteral("%1 h %2 min %3 s").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(secs);
    if (minutes)
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(secs);
    return secs + QStringLiteral(" s");
}
