#include "ServerMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // With no display the default platform would abort the process. With no
    // display named at all the server draws off screen; with one named it
    // tries the desktop and falls back to off screen if that fails.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool displayNamed = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        qputenv("QT_QPA_PLATFORM", displayNamed ? "xcb;offscreen" : "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VentoroServer"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.2"));
    return ServerMain::run();
}
