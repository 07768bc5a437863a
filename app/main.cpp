#include "ui/messages.h"
#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "store/dberror.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    // A write into a closed pipe or past the file-size limit (an export)
    // fails and is reported like any failed write.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Counted before Qt is set up, which is never given them.
    const QStringList arguments = Startup::arguments(argc, argv);
    if (arguments.size() != 2) {
        // The terminal has the parameter message too ("orvalis --help" typed
        // there is answered there); without a display it is all there is,
        // before the missing display (createApplication says that).
        std::fprintf(stderr, "orvalis : %s\n", parameterMessage().toUtf8().constData());
        if (!Startup::displayNamed())
            return 2;
    }
    const std::unique_ptr<QApplication> app = Startup::createApplication(argv[0], "orvalis");
    QApplication::setApplicationName(QStringLiteral("Orvalis"));
    try {
        Startup::run(*app, arguments);
    } catch (const EDatabaseError &e) {
        Messages::ShowException(nullptr, e.message());
    } catch (const std::exception &e) {
        Messages::ShowException(nullptr, QString::fromUtf8(e.what()));
    } catch (...) {
        Messages::ShowException(nullptr, QString());
    }
    return 0;
}
