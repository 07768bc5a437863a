#include "tools/report/reportcommand.h"

#include "dashboard/tableexport.h"
#include "store/dberror.h"
#include "store/visibletext.h"
#include "store/tabsdatabase.h"
#include "tools/common/toolexit.h"

#include <QFileDevice>
#include <QTextStream>

namespace HeadlessReport {

namespace {

const QString UsageLine = QStringLiteral("Utilisation : orvalis-report BASE UTILISATEUR [options]");

} // namespace

QString usage()
{
    return UsageLine
           + QStringLiteral(
               "\n\n"
               "Le tableau de suivi sans fenêtre : les mêmes lignes et les mêmes textes que la fenêtre, pour un mois\n"
               "et les filtres demandés, sur la sortie standard ou dans un fichier.\n"
               "\n"
               "Arguments :\n"
               "  BASE                 le fichier de base de données, ou une base d'un serveur PostgreSQL\n"
               "                       (postgresql://utilisateur@serveur:port/base)\n"
               "  UTILISATEUR          le code de l'utilisateur ; VEXOR : l'administrateur, qui voit tous les niveaux\n"
               "\n"
               "Options :\n"
               "  --mois AAAA-MM       le mois (le mois en cours par défaut)\n"
               "  --niveau CODE        les agences de ce niveau\n"
               "  --agence CODE        les utilisateurs de cette agence dans le mois (demande --niveau)\n"
               "  --utilisateur CODE   cet utilisateur seul, dans l'agence (demande --agence)\n"
               "  --fournisseur CODE   les chiffres de ce fournisseur seulement\n"
               "  --format FORMAT      texte (par défaut), tsv, csv, json, xlsx ou pdf\n"
               "  --total              ajoute la ligne des totaux après les lignes (chaque fait compté une fois)\n"
               "  --sortie FICHIER     écrit ce fichier au lieu de la sortie standard (obligatoire pour xlsx et pdf) ;\n"
               "                       un fichier existant n'est remplacé qu'une fois le nouveau complet\n"
               "  -h, --help           affiche cette aide\n"
               "  --                   la fin des options : ce qui suit est la base et l'utilisateur\n"
               "\n")
           + ToolExit::statusHelp();
}

Request parse(const QStringList &arguments, const QDate &today)
{
    Request request;
    request.month = QDate(today.year(), today.month(), 1);
    QStringList positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.help = true;
            return request;
        }
        if (arg == QLatin1String("--")) {
            positional << arguments.mid(i + 1);
            break;
        }
        if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional << arg;
            continue;
        }
        if (!arg.startsWith(QLatin1String("--")))
            throw UsageError(QStringLiteral("Option inconnue : %1").arg(arg));
        if (arg == QLatin1String("--total")) {
            request.total = true;
            continue;
        }
        static const QStringList known{QStringLiteral("--mois"),        QStringLiteral("--niveau"),
                                       QStringLiteral("--agence"),      QStringLiteral("--utilisateur"),
                                       QStringLiteral("--fournisseur"), QStringLiteral("--format"),
                                       QStringLiteral("--sortie")};
        QString name = arg;
        QString value;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (!known.contains(eq > 0 ? arg.left(eq) : arg))
            throw UsageError(QStringLiteral("Option inconnue : %1").arg(eq > 0 ? arg.left(eq) : arg));
        if (eq > 0) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
        } else {
            if (i + 1 >= arguments.size())
                throw UsageError(QStringLiteral("L'option %1 attend une valeur.").arg(arg));
            value = arguments.at(++i);
        }
        if (name == QLatin1String("--mois")) {
            const QDate month = QDate::fromString(value + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
            if (!month.isValid())
                throw UsageError(QStringLiteral("Mois invalide : %1 (attendu AAAA-MM).").arg(value));
            request.month = month;
        } else if (name == QLatin1String("--niveau")) {
            request.hasLevel = true;
            request.level = value;
        } else if (name == QLatin1String("--agence")) {
            request.hasAgency = true;
            request.agency = value;
        } else if (name == QLatin1String("--utilisateur")) {
            request.hasUser = true;
            request.userCode = value;
        } else if (name == QLatin1String("--fournisseur")) {
            request.hasSupplier = true;
            request.supplier = value;
        } else if (name == QLatin1String("--format")) {
            if (value == QLatin1String("texte"))
                request.format = OutputFormat::Text;
            else if (value == QLatin1String("tsv"))
                request.format = OutputFormat::Tsv;
            else if (value == QLatin1String("csv"))
                request.format = OutputFormat::Csv;
            else if (value == QLatin1String("json"))
                request.format = OutputFormat::Json;
            else if (value == QLatin1String("xlsx"))
                request.format = OutputFormat::Xlsx;
            else if (value == QLatin1String("pdf"))
                request.format = OutputFormat::Pdf;
            else
                throw UsageError(QStringLiteral("Format inconnu : %1 (texte, tsv, csv, json, xlsx ou pdf).").arg(value));
        } else if (name == QLatin1String("--sortie")) {
            if (value.isEmpty())
                throw UsageError(QStringLiteral("--sortie attend un nom de fichier."));
            request.output = value;
        }
    }
    if (positional.size() != 2)
        throw UsageError(QStringLiteral("Il faut la base de données et l'utilisateur."));
    if (positional.at(0).isEmpty())
        throw UsageError(QStringLiteral("Le nom de la base de données est vide."));
    request.database = positional.at(0);
    request.user = positional.at(1);
    if (request.hasAgency && !request.hasLevel)
        throw UsageError(QStringLiteral("--agence demande --niveau."));
    if (request.hasUser && !request.hasAgency)
        throw UsageError(QStringLiteral("--utilisateur demande --agence."));
    if (request.format == OutputFormat::Xlsx && request.output.isEmpty())
        throw UsageError(QStringLiteral("Le format xlsx demande --sortie FICHIER."));
    if (request.format == OutputFormat::Pdf && request.output.isEmpty())
        throw UsageError(QStringLiteral("Le format pdf demande --sortie FICHIER."));
    return request;
}

namespace {

// Writes everything to `out`, or raises ExportError.
void writeAll(QIODevice &out, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = out.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            break;
        done += written;
    }
    auto *file = qobject_cast<QFileDevice *>(&out);
    if (done < bytes.size() || (file && !file->flush()))
        throw TableExport::ExportError(
            QStringLiteral("La sortie standard n'a pas pu être écrite : %1").arg(out.errorString()));
}

int report(const Request &request, QIODevice &out, QTextStream &err)
{
    if (!request.output.isEmpty())
        TableExport::checkTarget(request.output, request.database);
    TABSDatabase db;
    db.SetDatabaseFileName(request.database);
    // A server slow to end a transaction: said while the user waits.
    db.setWaitNotice([&err](const QString &text) {
        if (!text.isEmpty())
            err << QStringLiteral("Information : ") << text << '\n' << Qt::flush;
    });
    const DashboardSelection selection = resolve(db, request);
    DashboardRow totals;
    const QVector<DashboardRow> shown = rows(db, selection, request.total ? &totals : nullptr);
    if (shown.isEmpty() && drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex) == 0)
        err << QStringLiteral("Information : ") << visibleText(TableExport::singleLine(noLevelNotice(selection.admin, request.user)))
            << '\n';
    const QByteArray bytes = render(shown, request.format,
                                    request.format == OutputFormat::Xlsx || request.format == OutputFormat::Pdf
                                        ? title(db, selection)
                                        : TableExport::Title(),
                                    request.total ? std::optional<DashboardRow>(totals) : std::nullopt);
    if (request.output.isEmpty())
        writeAll(out, bytes);
    else
        TableExport::save(request.output, bytes, request.database);
    return ToolExit::Success;
}

} // namespace

int run(const QStringList &arguments, QIODevice &out, QTextStream &err)
{
    try {
        Request request;
        try {
            request = parse(arguments);
        } catch (const UsageError &e) {
            err << visibleText(e.message()) << '\n' << UsageLine << QStringLiteral(" (orvalis-report --help : l'aide)\n");
            return ToolExit::Usage;
        }
        if (request.help) {
            writeAll(out, usage().toUtf8());
            return ToolExit::Success;
        }
        return report(request, out, err);
    } catch (const UsageError &e) {
        err << visibleText(e.message()) << '\n';
        return ToolExit::Usage;
    } catch (const TableExport::RefusedTarget &e) {
        err << visibleText(QString::fromUtf8(e.what())) << '\n';
        return ToolExit::Usage;
    } catch (const EDatabaseError &e) {
        err << visibleText(e.message()) << '\n';
        return ToolExit::Failure;
    } catch (const TableExport::ExportError &e) {
        err << visibleText(QString::fromUtf8(e.what())) << '\n';
        return ToolExit::Failure;
    } catch (const std::bad_alloc &) {
        err << ToolExit::outOfMemory() << '\n';
        return ToolExit::Failure;
    }
}

} // namespace HeadlessReport
