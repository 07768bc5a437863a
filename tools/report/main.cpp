// orvalis-report: the tracking table on standard output.
#include "ui/startup.h"
#include "tools/common/toolexit.h"
#include "tools/report/reportcommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTextStream>

#include <memory>
#include <unistd.h>

namespace {
// The PDF is drawn with fonts, which only a GUI application has; it needs
// no screen.
bool drawsPages(const QStringList &arguments)
{
    const int format = arguments.indexOf(QStringLiteral("--format"));
    return arguments.contains(QStringLiteral("--format=pdf"))
        || (format >= 0 && arguments.value(format + 1) == QLatin1String("pdf"));
}
} // namespace

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-report", [&] {
        // Every argument is the report's: Qt gets the program's name alone.
        const QStringList arguments = Startup::arguments(argc, argv);
        static int appArgc = 1;
        std::unique_ptr<QCoreApplication> app;
        if (drawsPages(arguments)) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            app = Startup::createGuiApplication(
                argv[0], "orvalis-report",
                QStringLiteral("les pages du PDF ne peuvent pas être dessinées : la plateforme graphique de Qt n'a "
                               "pas pu être chargée (mémoire insuffisante ?)."));
        } else {
            app = std::make_unique<QCoreApplication>(appArgc, argv);
        }
        // Unbuffered: every write reaches the descriptor at once, and its
        // failure (a full disk, say) is seen where it happens.
        QFile out;
        if (!out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered))
            return ToolExit::Failure;
        QTextStream err(stderr);
        const int status = HeadlessReport::run(arguments, out, err);
        err.flush();
        return status;
    });
}
