#include "OperatorMessage.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

namespace OperatorMessage {

bool hasScreen()
{
    // A headless server builds no window system at all.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    return QGuiApplication::platformName() != QStringLiteral("offscreen")
        && QGuiApplication::platformName() != QStringLiteral("minimal");
}

void show(const QString &text, bool windowShown, const QString &detail)
{
    if (!windowShown || !hasScreen()) {
        std::fprintf(stderr, "ERROR: %s\n", qPrintable(text));
        if (!detail.isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(detail));
        std::fflush(stderr);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("ERROR"), text, QMessageBox::Ok);
    box.setInformativeText(detail);
    box.exec();
}

} // namespace OperatorMessage
