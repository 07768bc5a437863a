// orvalis-shots: pictures of the program's windows on a database, for the
// README. Run it under a virtual X server (scripts/screenshots).
//
// Exit status: 0 done, 1 database or file error, 2 usage error.
#include "app/filedialogs.h"
#include "app/startup.h"
#include "app/toolexit.h"
#include "app/tficheprincipale.h"
#include "charts/sampleindicators.h"
#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"
#include "charts/tfichetrend.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"
#include "store/dberror.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <QTextStream>
#include <QThread>
#include <QTreeWidget>

#include <cstring>
#include <functional>

namespace {

QString outputDir;

void settle(int ms = 300)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

// A picture that cannot be written ends the run.
struct PictureNotSaved
{
    QString path;
};

void save(QWidget *window, const QString &name)
{
    settle();
    const QString path = QDir(outputDir).filePath(name + QStringLiteral(".png"));
    if (!window->grab().save(path))
        throw PictureNotSaved{path};
    QTextStream(stdout) << path << '\n';
}

QString help()
{
    return QStringLiteral("Utilisation : orvalis-shots BASE DOSSIER\n"
                          "\n"
                          "Photographie les fenêtres du programme sur la base de données BASE (la fenêtre principale, "
                          "le tableau de suivi\n"
                          "à chaque niveau de détail, trié, exporté, son évolution, les fenêtres des niveaux et les "
                          "graphiques) et écrit\n"
                          "les images PNG, avec le classeur et le fichier CSV exportés, dans DOSSIER ; chaque chemin "
                          "écrit est affiché.\n"
                          "À lancer dans un serveur X virtuel (scripts/screenshots).\n"
                          "\n"
                          "Options :\n"
                          "  -h, --help   affiche cette aide\n"
                          "\n")
           + ToolExit::statusHelp();
}

// The database must answer before any window opens: an error would
// otherwise wait in a message box that nobody sees.
QString databaseProblem(const QString &path)
{
    try {
        TABSDatabase db;
        db.SetDatabaseFileName(path);
        TABSQuery query(&db);
        query.SQL().append(DashboardStatements::levels(true, QString()));
        query.Open();
        return QString();
    } catch (const EDatabaseError &e) {
        return e.message();
    }
}

// Picks the first entry (after the placeholder) that gives a non-empty
// table, as a user would.
bool chooseFirst(QComboBox *combo, const std::function<bool()> &good)
{
    for (int i = 1; i < combo->count(); ++i) {
        combo->setCurrentIndex(i);
        emit combo->activated(i);
        settle(50);
        if (good())
            return true;
    }
    return false;
}

int run(int &argc, char *argv[])
{
    // The help needs no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            QTextStream(stdout) << help();
            return ToolExit::Success;
        }
    }
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || args.at(1).startsWith(QLatin1String("--")) || args.at(2).startsWith(QLatin1String("--"))) {
        QTextStream(stderr) << "orvalis-shots : il faut la base de données et le dossier des images "
                               "(orvalis-shots --help : l'aide)\n";
        return ToolExit::Usage;
    }
    outputDir = args.at(2);
    if (!QDir().mkpath(outputDir)) {
        QTextStream(stderr) << "orvalis-shots : impossible de créer le dossier " << outputDir << '\n';
        return ToolExit::Failure;
    }
    const QString problem = databaseProblem(args.at(1));
    if (!problem.isEmpty()) {
        QTextStream(stderr) << "orvalis-shots : " << problem << '\n';
        return ToolExit::Failure;
    }
    Startup::installFrenchTranslations(app);
    Startup::applyStyleSheet(app);

    auto main = Startup::createMainWindow({args.at(1), QStringLiteral("VEXOR")});
    main->show();
    save(main.get(), QStringLiteral("main-window"));

    {
        TFicheTDB table(main.get());
        table.SetDatabase(main->Database());
        table.SetAdmin(true);
        table.show();
        save(&table, QStringLiteral("tracking-table-levels"));
        auto *tree = table.findChild<QTreeWidget *>(QStringLiteral("lvData"));
        auto hasRows = [tree] { return tree->topLevelItemCount() > 0; };
        if (chooseFirst(table.findChild<QComboBox *>(QStringLiteral("cblNiveau")), hasRows)) {
            save(&table, QStringLiteral("tracking-table-agencies"));
            if (chooseFirst(table.findChild<QComboBox *>(QStringLiteral("cblAgence")), hasRows)) {
                save(&table, QStringLiteral("tracking-table-users"));
                if (chooseFirst(table.findChild<QComboBox *>(QStringLiteral("cblUtilisateur")), hasRows))
                    save(&table, QStringLiteral("tracking-table-user"));
            }
        }
    }
    {
        // Sorted by amount, two rows selected, then exported and charted.
        TFicheTDB table(main.get());
        table.SetDatabase(main->Database());
        table.SetAdmin(true);
        table.show();
        settle();
        auto *tree = table.findChild<QTreeWidget *>(QStringLiteral("lvData"));
        if (chooseFirst(table.findChild<QComboBox *>(QStringLiteral("cblNiveau")),
                        [tree] { return tree->topLevelItemCount() > 1; })) {
            tree->sortItems(1, Qt::DescendingOrder);
            tree->topLevelItem(0)->setSelected(true);
            tree->topLevelItem(1)->setSelected(true);
            save(&table, QStringLiteral("tracking-table-sorted"));

            // The files the export writes, beside the pictures; the
            // screenshot script turns the workbook into a picture.
            QStringList answers{QDir(outputDir).filePath(QStringLiteral("tracking-table-export.xlsx")),
                                QDir(outputDir).filePath(QStringLiteral("tracking-table-export.csv"))};
            FileDialogs::setHandler([&answers](const FileDialogs::Request &) {
                return FileDialogs::Answer{answers.takeFirst(), QString()};
            });
            auto *exporter = table.findChild<QPushButton *>(QStringLiteral("btnExporter"));
            exporter->click();
            exporter->click();
            FileDialogs::setHandler({});

            QTimer poll;
            poll.setInterval(20);
            QObject::connect(&poll, &QTimer::timeout, [&poll] {
                if (auto *chart = qobject_cast<TFicheTrend *>(QApplication::activeModalWidget())) {
                    poll.stop();
                    save(chart, QStringLiteral("trend-chart"));
                    chart->reject();
                }
            });
            poll.start();
            table.findChild<QPushButton *>(QStringLiteral("btnEvolution"))->click();
        }
    }
    {
        TFicheParamNiveau levels(main.get());
        levels.SetDatabase(main->Database());
        levels.SetLevelLabel(QStringLiteral("Chef de secteur"));
        levels.show();
        save(&levels, QStringLiteral("levels"));
    }
    {
        TFicheParamNiveauAgence links(main.get());
        links.SetDatabase(main->Database());
        links.SetLevelLabel(QStringLiteral("Chef de secteur"));
        links.show();
        save(&links, QStringLiteral("level-agencies"));
    }
    {
        QRandomGenerator random(20201016);
        TFicheBarChartStack clients(main.get());
        SampleIndicators::fillNewClients(clients, random);
        clients.show();
        save(&clients, QStringLiteral("chart-new-clients"));
        TFicheBarChartStack dossiers(main.get());
        SampleIndicators::fillNewDossiers(dossiers, random);
        dossiers.show();
        save(&dossiers, QStringLiteral("chart-new-dossiers"));
        TFicheBarChart2Series lines(main.get());
        SampleIndicators::fillQuoteLines(lines, random);
        lines.show();
        save(&lines, QStringLiteral("chart-quote-lines"));
    }
    return ToolExit::Success;
}

} // namespace

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-shots", [&] {
        try {
            return run(argc, argv);
        } catch (const PictureNotSaved &failed) {
            QTextStream(stderr) << "orvalis-shots : impossible d'écrire " << failed.path << '\n';
            return ToolExit::Failure;
        }
    });
}
