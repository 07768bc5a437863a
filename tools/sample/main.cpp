// orvalis-sample: creates a sample database to try Orvalis on.
//
//   orvalis-sample OUT.db [--rows N] [--seed S] [--force] [--last-month AAAA-MM]
//
// Exit status: 0 done, 1 error, 2 the file exists and --force was not given.

#include "app/startup.h"
#include "store/samplegenerator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QTextStream>

namespace {

constexpr int ExitError = 1;
constexpr int ExitFileExists = 2;

int fail(const QString &message)
{
    QTextStream(stderr) << "orvalis-sample : " << message << Qt::endl;
    return ExitError;
}

} // namespace

int main(int argc, char *argv[])
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
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Remplace le fichier s'il existe déjà."));
    const QCommandLineOption lastMonth(QStringLiteral("last-month"),
                                       QStringLiteral("Dernier mois des faits (le mois en cours par défaut)."),
                                       QStringLiteral("AAAA-MM"));
    parser.addOptions({help, rows, seed, force, lastMonth});
    parser.addPositionalArgument(QStringLiteral("FICHIER"), QStringLiteral("La base de données à créer."));

    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        QTextStream(stdout) << parser.helpText();
        return 0;
    }

    SampleOptions options;
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return fail(QStringLiteral("indiquez un et un seul fichier de base de données à créer (voir --help)."));
    options.path = files.first();
    options.force = parser.isSet(force);

    bool ok = true;
    if (parser.isSet(rows)) {
        options.rows = parser.value(rows).toLongLong(&ok);
        if (!ok || options.rows < 0)
            return fail(QStringLiteral("nombre de lignes invalide : %1").arg(parser.value(rows)));
    }
    if (parser.isSet(seed)) {
        options.seed = parser.value(seed).toUInt(&ok);
        if (!ok)
            return fail(QStringLiteral("graine invalide : %1").arg(parser.value(seed)));
    }
    if (parser.isSet(lastMonth)) {
        options.lastMonth = QDate::fromString(parser.value(lastMonth), QStringLiteral("yyyy-MM"));
        if (!options.lastMonth.isValid())
            return fail(QStringLiteral("mois invalide : %1 (attendu : AAAA-MM)").arg(parser.value(lastMonth)));
    }

    try {
        QElapsedTimer timer;
        timer.start();
        const SampleSummary summary = SampleGenerator(options).run();
        const QLocale french(QLocale::French, QLocale::France);
        QTextStream(stdout) << summary.text() << QStringLiteral(" en %1 s").arg(french.toString(timer.elapsed() / 1000.0, 'f', 1))
                            << Qt::endl;
        return 0;
    } catch (const ESampleFileExists &e) {
        fail(e.message() + QStringLiteral(" Ajoutez --force pour le remplacer."));
        return ExitFileExists;
    } catch (const EDatabaseError &e) {
        return fail(e.message());
    } catch (const std::exception &e) {
        return fail(QString::fromLocal8Bit(e.what()));
    }
}
