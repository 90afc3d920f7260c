// VentoroConfig: the operator's editor for the server's settings files.
#include "ConfigFiles.h"
#include "ConfigWindow.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include <memory>

namespace ConfigFiles {

// Binds the two settings files in the program's own directory and shows the
// window, not modally. The window lives until the program ends; the program
// runs until the window is closed.
std::unique_ptr<ConfigWindow> openWindow(Context &context)
{
    bindSettingsFiles(context, QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    auto window = std::make_unique<ConfigWindow>(context);
    window->show();
    return window;
}

} // namespace ConfigFiles

int main(int argc, char *argv[])
{
    // The tool is a window and nothing else: without a display, say so
    // rather than let the platform abort.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "VentoroConfig needs a display: set DISPLAY, or edit VentoroServer.ini and user.ini "
                             "in %s by hand.\n", qPrintable(QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath()));
        return 1;
    }
    QApplication app(argc, argv);
    ConfigFiles::Context context;
    const std::unique_ptr<ConfigWindow> window = ConfigFiles::openWindow(context);
    return app.exec();
}
