// orvalis-sample: creates a sample database to try Orvalis on.
//
//   orvalis-sample OUT.db [--rows N] [--seed S] [--force] [--last-month AAAA-MM]
//                 [--levels N] [--agencies N] [--users N] [--suppliers N]
//                 [--extra-accounts N]
//   orvalis-sample postgresql://user@host:port/dbname [same options]
//
// Exit status: 0 done, 1 database or file error (among them a file, or the
// tables on a server, that exist without --force), 2 usage error.

#include "ui/startup.h"
#include "tools/common/toolexit.h"
#include "tools/common/samplegenerator.h"
#include "store/serveraddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QTextStream>

namespace {

int fail(const QString &message, int status = ToolExit::Failure)
{
    QTextStream(stderr) << "orvalis-sample : " << message << Qt::endl;
    return status;
}

int usageError(const QString &message)
{
    return fail(message + QStringLiteral(" (orvalis-sample --help : l'aide)"), ToolExit::Usage);
}

int run(int &argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalis-sample"));
    Startup::installFrenchTranslations(app);

    const SampleOptions defaults;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Crée une base de données d'exemple pour Orvalis : les six tables, une organisation "
                       "commerciale fictive et %1 mois de faits.").arg(SampleGenerator::Months));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Affiche cette aide."));
    const QCommandLineOption rows(QStringLiteral("rows"),
                                  QStringLiteral("Nombre de lignes de faits (%1 par défaut).").arg(defaults.rows),
                                  QStringLiteral("N"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Graine du tirage (%1 par défaut) : la même graine donne la même base.")
                                      .arg(defaults.seed),
                                  QStringLiteral("S"));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Remplace le fichier s'il existe déjà (sur un serveur : supprime et "
                                                  "recrée les six tables)."));
    const QCommandLineOption lastMonth(QStringLiteral("last-month"),
                                       QStringLiteral("Dernier mois des faits (le mois en cours par défaut)."),
                                       QStringLiteral("AAAA-MM"));
    const QCommandLineOption levels(QStringLiteral("levels"),
                                    QStringLiteral("Nombre de niveaux d'une organisation numérotée."), QStringLiteral("N"));
    const QCommandLineOption agencies(QStringLiteral("agencies"),
                                      QStringLiteral("Nombre d'agences d'une organisation numérotée."), QStringLiteral("N"));
    const QCommandLineOption users(QStringLiteral("users"),
                                   QStringLiteral("Nombre d'utilisateurs d'une organisation numérotée."), QStringLiteral("N"));
    const QCommandLineOption suppliers(QStringLiteral("suppliers"),
                                       QStringLiteral("Nombre de fournisseurs d'une organisation numérotée."),
                                       QStringLiteral("N"));
    const QCommandLineOption extraAccounts(
        QStringLiteral("extra-accounts"),
        QStringLiteral("Comptes que le tableau de suivi ne lit pas, en plus de ses six (%1 par défaut).")
            .arg(defaults.shape.extraAccounts),
        QStringLiteral("N"));
    parser.addOptions({help, rows, seed, force, lastMonth, levels, agencies, users, suppliers, extraAccounts});
    parser.addPositionalArgument(QStringLiteral("FICHIER"),
                                 QStringLiteral("La base de données à créer : un fichier, ou une base existante "
                                                "d'un serveur PostgreSQL (postgresql://utilisateur@serveur:port/base ; "
                                                "mot de passe dans PGPASSWORD ou ~/.pgpass)."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        ToolExit::print(parser.helpText() + QLatin1Char('\n') + ToolExit::statusHelp());
        return ToolExit::Success;
    }

    SampleOptions options;
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usageError(QStringLiteral("indiquez un et un seul fichier de base de données à créer."));
    options.path = files.first();
    options.force = parser.isSet(force);

    bool ok = true;
    if (parser.isSet(rows)) {
        options.rows = parser.value(rows).toLongLong(&ok);
        if (!ok || options.rows < 0)
            return usageError(QStringLiteral("nombre de lignes invalide : %1").arg(parser.value(rows)));
    }
    if (parser.isSet(seed)) {
        options.seed = parser.value(seed).toUInt(&ok);
        if (!ok)
            return usageError(QStringLiteral("graine invalide : %1").arg(parser.value(seed)));
    }
    // Any of the four counts makes a numbered organisation of that size
    // (the sample's own sizes for the others).
    for (const SampleCount &count : sampleCounts) {
        const QString name = QString::fromLatin1(count.name);
        if (!parser.isSet(name))
            continue;
        const int value = parser.value(name).toInt(&ok);
        if (!ok || value < count.minimum || value > count.maximum)
            return usageError(QStringLiteral("valeur invalide pour --%1 : %2 (de %3 à %4)")
                                  .arg(name, parser.value(name))
                                  .arg(count.minimum)
                                  .arg(count.maximum));
        options.shape.*(count.field) = value;
    }
    if (parser.isSet(lastMonth)) {
        options.lastMonth = QDate::fromString(parser.value(lastMonth), QStringLiteral("yyyy-MM"));
        if (!options.lastMonth.isValid())
            return usageError(QStringLiteral("mois invalide : %1 (attendu : AAAA-MM)").arg(parser.value(lastMonth)));
    }

    try {
        QElapsedTimer timer;
        timer.start();
        const SampleSummary summary = SampleGenerator(options).run();
        const QLocale french(QLocale::French, QLocale::France);
        ToolExit::print(summary.text()
                        + QStringLiteral(" en %1 s\n").arg(french.toString(timer.elapsed() / 1000.0, 'f', 1)));
        return ToolExit::Success;
    } catch (const ESampleFileExists &e) {
        return fail(e.message()
                    + (ServerAddress::isServerName(options.path)
                           ? QStringLiteral(" Ajoutez --force pour remplacer ses tables.")
                           : QStringLiteral(" Ajoutez --force pour le remplacer.")));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-sample", [&] { return run(argc, argv); });
}
