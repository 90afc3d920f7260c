// VentoroConfig: the operator's editor for the server's settings files.
#include "ConfigModule.h"
#include "Manager1.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include <memory>

namespace ConfigModule {

// Binds the two settings files in the program's own directory and shows the
// window, not modally. The window lives until the program ends; the program
// runs until the window is closed.
std::unique_ptr<Manager1> Main(Context &context)
{
    bindSettingsFiles(context, QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    auto window = std::make_unique<Manager1>(context);
    window->show();
    return window;
}

} // namespace ConfigModule

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
    ConfigModule::Context context;
    const std::unique_ptr<Manager1> window = ConfigModule::Main(context);
    return app.exec();
}
