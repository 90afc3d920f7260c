// VentoroConfig: the operator's editor for the server's settings files.
#include "ConfigModule.h"
#include "Manager1.h"

#include <QApplication>
#include <QFile>

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
    QApplication app(argc, argv);
    ConfigModule::Context context;
    const std::unique_ptr<Manager1> window = ConfigModule::Main(context);
    return app.exec();
}
