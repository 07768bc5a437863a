// orvalis-import: a spreadsheet's CSV export into the fact table.
//
//   orvalis-import BASE FICHIER.csv [--remplacer]
//   orvalis-import postgresql://user@host:port/dbname FICHIER.csv [--remplacer]
//
// Exit status: 0 imported, 1 nothing written (a line that cannot be read,
// a month already in the database, a file or database error), 2 usage error.

#include "store/dberror.h"
#include "tools/common/toolexit.h"
#include "tools/import/factimport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTextStream>
#include <QTranslator>

namespace {

int run(int &argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalis-import"));
    QTranslator qtFrench;
    if (qtFrench.load(QStringLiteral("qtbase_fr"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtFrench);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Importe les chiffres d'un tableur, enregistrés en CSV, dans la table des faits : une ligne par mois, "
        "agence, utilisateur et fournisseur. Séparateur « ; » avec virgule décimale ou « , » avec point décimal ; "
        "UTF-8 ou Windows-1252. Colonnes reconnues par leur nom, dans n'importe quel ordre :\n"
        "  mois (AAAA-MM ou MM/AAAA), ou annee et mois\n"
        "  agence, utilisateur, fournisseur : les codes ; dossier (facultatif)\n"
        "  agence_libelle, utilisateur_libelle, fournisseur_libelle (facultatifs) : créent les codes absents de la "
        "base\n"
        "  les chiffres : Montant HT, TVA, Marge €, Nb Relance(s), Nb Devis, Nb Commandes (ou leurs codes de "
        "compte), ou les deux colonnes compte et valeur.\n"
        "Tout le fichier est écrit en une transaction : une ligne illisible, ou un mois qui a déjà des faits dans la "
        "base, et rien n'est écrit."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Affiche cette aide."));
    const QCommandLineOption replace(QStringLiteral("remplacer"),
                                     QStringLiteral("Remplace les faits des mois du fichier qui sont déjà dans la base "
                                                    "(dans la même transaction)."));
    parser.addOptions({help, replace});
    parser.addPositionalArgument(QStringLiteral("BASE"),
                                 QStringLiteral("La base de données : un fichier SQLite qui a les six tables, ou une "
                                                "base d'un serveur PostgreSQL (postgresql://utilisateur@serveur:port/"
                                                "base), avec le rôle propriétaire des tables."));
    parser.addPositionalArgument(QStringLiteral("FICHIER.csv"), QStringLiteral("Le fichier enregistré par le tableur."));

    const auto usage = [](const QString &message) { return ToolExit::usage("orvalis-import", message); };
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        ToolExit::print(parser.helpText() + QLatin1Char('\n') + ToolExit::statusHelp()
                        + QStringLiteral("     (1 aussi quand rien n'a été écrit : une ligne illisible, un mois qui a déjà "
                                         "des faits)\n"));
        return ToolExit::Success;
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2)
        return usage(QStringLiteral("indiquez la base de données puis le fichier CSV."));
    if (arguments[0].isEmpty() || arguments[1].isEmpty())
        return usage(QStringLiteral("le nom de la base et celui du fichier ne peuvent pas être vides."));

    QTextStream err(stderr);
    try {
        const ImportReport report = FactImport(arguments[0], arguments[1], parser.isSet(replace)).run();
        if (!report.written()) {
            err << report.text() << Qt::endl;
            return ToolExit::Failure;
        }
        // The facts are written: a summary that cannot be shown (a closed
        // pipe, a full disk) does not make the import a failure.
        try {
            ToolExit::print(report.text() + QLatin1Char('\n'));
        } catch (const std::exception &) {
            err << "orvalis-import : les faits sont écrits ; le résumé n'a pas pu être affiché." << Qt::endl;
        }
        return ToolExit::Success;
    } catch (const EDatabaseError &e) {
        err << "orvalis-import : " << e.message() << Qt::endl;
        return ToolExit::Failure;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-import", [&] { return run(argc, argv); });
}
