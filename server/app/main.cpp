#include "ServerMain.h"

#include <QApplication>

#include <cstdio>

namespace {

// The toolkit's message handler is process-wide by its nature; this keeps
// the one that was installed before ours, set once before the application.
QtMessageHandler toolkitHandler = nullptr;

// With no XDG_RUNTIME_DIR (a service, a plain SSH session) the toolkit notes
// on every start that it falls back to a directory of its own. The fallback
// works, and the note only hides what the operator needs to read.
void withoutRuntimeDirNote(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (toolkitHandler)
        toolkitHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char *argv[])
{
    // With no display the default platform would abort the process. With no
    // display named at all the server draws off screen; with one named it
    // tries the desktop and falls back to off screen if that fails.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool displayNamed = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        qputenv("QT_QPA_PLATFORM", displayNamed ? "xcb;offscreen" : "offscreen");
    }
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        toolkitHandler = qInstallMessageHandler(withoutRuntimeDirNote);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VentoroServer"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.2"));
    return ServerMain::run();
}
