// orvalis-repair: the repair of the main window's button, for scripts and
// machines without a display.
//
//   orvalis-repair FILE
//   orvalis-repair postgresql://user@host:port/dbname
//
// The same French messages as the window, on standard error. Exit status:
// 0 every row is there, 1 rows lost or kept aside, or the file could not be
// repaired (the message names it), 2 usage error.

#include "ui/startup.h"
#include "store/dberror.h"
#include "store/tabsdatabase.h"
#include "tools/common/toolexit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

int run(int &argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalis-repair"));
    Startup::installFrenchTranslations(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Répare une base de données d'Orvalis, comme le bouton « Réparation de la base » : une copie "
                       "du fichier est gardée à côté de lui, puis le fichier est remplacé d'un coup par une base "
                       "reconstruite et vérifiée. Sur un serveur PostgreSQL : VACUUM ANALYZE."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Affiche cette aide."));
    parser.addOption(help);
    parser.addPositionalArgument(QStringLiteral("FICHIER"),
                                 QStringLiteral("La base de données à réparer : un fichier, ou une base d'un serveur "
                                                "PostgreSQL (postgresql://utilisateur@serveur:port/base)."));
    QTextStream err(stderr);
    const auto usage = [&err](const QString &message) {
        err << "orvalis-repair : " << message << " (orvalis-repair --help : l'aide)" << Qt::endl;
        return ToolExit::Usage;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        QTextStream(stdout) << parser.helpText() << '\n'
                            << QStringLiteral("Statut de sortie :\n"
                                              "  0  réparation terminée, toutes les lignes sont là\n"
                                              "  1  des lignes sont perdues ou mises à part, ou la base n'a pas pu "
                                              "être réparée (le message le dit)\n"
                                              "  2  erreur d'utilisation : option inconnue, fichier manquant\n");
        return ToolExit::Success;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usage(QStringLiteral("indiquez un et un seul fichier de base de données à réparer."));

    TABSDatabase database;
    database.SetDatabaseFileName(files.first());
    try {
        database.RepairDatabase();
    } catch (const EDatabaseError &e) {
        err << QStringLiteral("Erreur sur la réparation : ") << e.message() << Qt::endl;
        return ToolExit::Failure;
    }
    err << QStringLiteral("Réparation s'est terminée avec succès !") << Qt::endl;
    return ToolExit::Success;
}

} // namespace

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-repair", [&] { return run(argc, argv); });
}
