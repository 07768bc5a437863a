// orvalis-lanceur: the desktop menu's entry. Asks for the database and the
// user code, then starts the program with them.
#include "tools/lanceur/launcher.h"
#include "ui/startup.h"

#include <QApplication>
#include <QIcon>

int main(int, char *argv[])
{
    const std::unique_ptr<QApplication> app = Startup::createApplication(argv[0], "orvalis-lanceur");
    QApplication::setApplicationName(QStringLiteral("Orvalis"));
    QApplication::setDesktopFileName(QStringLiteral("orvalis"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("orvalis")));
    Startup::installFrenchTranslations(*app);
    Launcher launcher;
    launcher.exec();
    return 0;
}
