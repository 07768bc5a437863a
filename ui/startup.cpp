#include "ui/startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

namespace Startup {

namespace {

// What QApplication keeps of the command line for its whole life: the
// program's name.
int applicationArgc = 1;
char *applicationArgv[2] = {nullptr, nullptr};

// "<tool> : <message>", written when Qt's platform cannot be loaded: made
// before, since memory may be what is missing then.
QByteArray platformFailure;

// Qt ends the process (qFatal, an abort) when no platform can be loaded:
// while the application object is made, that end is ours instead.
void platformFailed(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type != QtFatalMsg)
        return;
    std::fputs(platformFailure.constData(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

template <typename Application>
std::unique_ptr<Application> createWithPlatform(const char *program, const char *tool, const QString &failure)
{
    platformFailure = QStringLiteral("%1 : %2\n").arg(QString::fromLocal8Bit(tool), failure).toUtf8();
    applicationArgv[0] = const_cast<char *>(program);
    applicationArgc = 1;
    // Qt's warnings about the platform go on as they were; its fatal end
    // is replaced.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        platformFailed(type, context, text);
        if (previous)
            previous(type, context, text);
    });
    auto app = std::make_unique<Application>(applicationArgc, applicationArgv);
    qInstallMessageHandler(previous);
    return app;
}

// What a program with windows says when it has no display.
QString noDisplayMessage()
{
    return displayNamed() ? QStringLiteral("l'affichage n'a pas pu être ouvert : les fenêtres ne peuvent pas s'ouvrir.")
                          : QStringLiteral("aucun affichage (ni DISPLAY ni WAYLAND_DISPLAY n'est défini) : "
                                           "les fenêtres ne peuvent pas s'ouvrir.");
}

} // namespace

bool installFrenchTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_fr"), folder)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

QStringList arguments(int argc, char *argv[])
{
    QStringList out;
    for (int i = 1; i < argc; ++i)
        out << QString::fromLocal8Bit(argv[i]);
    return out;
}

bool displayNamed()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

std::unique_ptr<QApplication> createApplication(const char *program, const char *tool)
{
    if (!displayNamed()) {
        std::fprintf(stderr, "%s : %s\n", tool, noDisplayMessage().toUtf8().constData());
        std::exit(1);
    }
    return createWithPlatform<QApplication>(program, tool, noDisplayMessage());
}

std::unique_ptr<QGuiApplication> createGuiApplication(const char *program, const char *tool, const QString &failure)
{
    return createWithPlatform<QGuiApplication>(program, tool, failure);
}

} // namespace Startup
