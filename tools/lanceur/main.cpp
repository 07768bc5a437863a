// orvalis-lanceur: the desktop menu's entry. Asks for the database and the
// user code, then starts the program with them.
#include "tools/lanceur/launcher.h"
#include "ui/startup.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs("Utilisation : orvalis-lanceur\n"
                   "Demande la base de données (un fichier ou l'adresse d'un serveur) et le code utilisateur, "
                   "retient le dernier choix, puis démarre orvalis avec ces deux arguments.\n",
                   stdout);
        return 0;
    }
    const std::unique_ptr<QApplication> app = Startup::createApplication(argv[0], "orvalis-lanceur");
    QApplication::setApplicationName(QStringLiteral("Orvalis"));
    QApplication::setDesktopFileName(QStringLiteral("orvalis"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("orvalis")));
    Startup::installFrenchTranslations(*app);
    Launcher launcher;
    launcher.exec();
    return 0;
}
