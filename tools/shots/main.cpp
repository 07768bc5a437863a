// orvalis-shots: pictures of the program's windows on a database, for the
// README. Run it under a virtual X server (scripts/screenshots).
//
//   orvalis-shots [--ecran NAME] DATABASE OUTPUT_DIR
//   orvalis-shots --timing DATABASE   the time from a click in a list to
//                                     the painted table (clicktimes.h)
//
// Exit status: 0 done, 1 database or file error, 2 usage error.
#include "tools/shots/clicktimes.h"

#include "ui/filedialogs.h"
#include "app/startup.h"
#include "tools/common/toolexit.h"
#include "app/tficheprincipale.h"
#include "store/schema.h"
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

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
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
    ToolExit::print(path + QLatin1Char('\n'));
}

// The whole screen, popups and all, as a user sees it.
void saveScreen(const QString &name)
{
    settle();
    const QString path = QDir(outputDir).filePath(name + QStringLiteral(".png"));
    if (!QGuiApplication::primaryScreen()->grabWindow(0).save(path))
        throw PictureNotSaved{path};
    ToolExit::print(path + QLatin1Char('\n'));
}

// A button with the keyboard's focus, as after a few Tab presses.
void focus(QWidget *window, const char *button)
{
    window->activateWindow();
    settle(200);
    if (auto *target = window->findChild<QPushButton *>(QLatin1String(button)))
        target->setFocus(Qt::TabFocusReason);
}

// A copy of the database with labels and amounts longer than the sample's:
// a sector of 31 characters, an agency of 42, a level label of 45, an
// amount above ten million.
QString withLongLabels(const QString &database, const QString &folder)
{
    const QString copy = QDir(folder).filePath(QStringLiteral("longs.db"));
    QFile::remove(copy);
    if (!QFile::copy(database, copy))
        throw PictureNotSaved{copy};
    TABSDatabase db;
    db.SetDatabaseFileName(copy);
    const QDate today = QDate::currentDate();
    const auto exec = [&db](const QString &sql) {
        TABSQuery query(&db);
        query.SetDatabaseName(db.DatabaseName());
        query.SQL().append(sql);
        query.ExecSQL();
    };
    exec(QStringLiteral("INSERT INTO dim_agence (code, libelle) VALUES ('A9999', 'Agence de Saint-Rémy-de-Provence-les-Bains')"));
    exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) SELECT code, 'A9999' FROM dim_niveau "
                        "WHERE libelle = 'Secteur Bourgogne-Franche-Comté'"));
    exec(QStringLiteral("INSERT INTO dim_utilisateur (code, libelle) VALUES ('U9999', 'Marie-Françoise de La Rochefoucauld')"));
    exec(QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES ('U9999', 'Secteur Provence-Alpes-Côte d''Azur et Corse')"));
    const QStringList accounts = Schema::accountCodes();
    const double values[6] = {12345678.9, 2469135.78, 3456789.12, 12, 140, 61};
    for (int i = 0; i < 6; ++i)
        exec(QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                            "dim_utilisateur, dim_fournisseur) SELECT '%1', %2, %3, %4, 'A9999', 'U9999', code "
                            "FROM dim_fournisseur ORDER BY code LIMIT 1")
                 .arg(accounts.at(i))
                 .arg(today.year())
                 .arg(today.month())
                 .arg(values[i], 0, 'f', 2));
    return copy;
}

// Picks the entry labelled `text` (for pictures; the window runs its
// handler as for a user's choice).
bool chooseText(QComboBox *combo, const QString &text)
{
    const int index = combo->findText(text);
    if (index < 0)
        return false;
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    settle(100);
    return true;
}

QString help()
{
    return QStringLiteral("Utilisation : orvalis-shots [--ecran NOM] BASE DOSSIER\n"
                          "              orvalis-shots --timing BASE\n"
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
                          "  --ecran NOM  photographie seulement l'écran entier, le tableau de suivi ouvert tel\n"
                          "               qu'il s'ouvre sur cet écran (tracking-table-NOM.png)\n"
                          "  --timing     mesure le temps d'un choix dans une liste jusqu'au tableau affiché\n"
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

int run(int argc, char *argv[])
{
    QStringList args = Startup::arguments(argc, argv);
    // The help needs no display.
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        ToolExit::print(help());
        return ToolExit::Success;
    }
    QString screenName;
    const int screenOption = args.indexOf(QStringLiteral("--ecran"));
    if (screenOption >= 0 && screenOption + 1 < args.size()) {
        screenName = args.at(screenOption + 1);
        args.remove(screenOption, 2);
    }
    const bool timing = args.size() == 2 && args.at(0) == QLatin1String("--timing");
    const auto isOption = [](const QString &arg) { return arg.startsWith(QLatin1Char('-')); };
    if (!timing && (args.size() != 2 || isOption(args.at(0)) || isOption(args.at(1)))) {
        QTextStream(stderr) << "orvalis-shots : il faut la base de données et le dossier des images "
                               "(orvalis-shots --help : l'aide)\n";
        return ToolExit::Usage;
    }
    const std::unique_ptr<QApplication> app = Startup::createApplication(argv[0], "orvalis-shots");
    const auto unusable = [](const QString &database) {
        const QString problem = databaseProblem(database);
        if (!problem.isEmpty())
            QTextStream(stderr) << "orvalis-shots : " << problem << '\n';
        return !problem.isEmpty();
    };
    if (timing) {
        if (unusable(args.at(1)))
            return ToolExit::Failure;
        Startup::installFrenchTranslations(*app);
        Startup::applyStyleSheet(*app);
        QString text;
        QTextStream out(&text);
        const int status = measureClicks(args.at(1), out);
        out.flush();
        ToolExit::print(text);
        return status;
    }
    outputDir = args.at(1);
    if (!QDir().mkpath(outputDir)) {
        QTextStream(stderr) << "orvalis-shots : impossible de créer le dossier " << outputDir << '\n';
        return ToolExit::Failure;
    }
    if (unusable(args.at(0)))
        return ToolExit::Failure;
    Startup::installFrenchTranslations(*app);
    Startup::applyStyleSheet(*app);

    auto main = Startup::createMainWindow({args.at(0), QStringLiteral("VEXOR")});
    main->show();
    if (!screenName.isEmpty()) {
        // The tracking table as it opens on this screen, the whole screen.
        TFicheTDB table(main.get());
        table.SetDatabase(main->Database());
        table.SetAdmin(true);
        table.show();
        saveScreen(QStringLiteral("tracking-table-") + screenName);
        return ToolExit::Success;
    }
    save(main.get(), QStringLiteral("main-window"));
    focus(main.get(), "btnTableauSuivi");
    save(main.get(), QStringLiteral("focus-main-window"));

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
        focus(&levels, "btnAjouter");
        save(&levels, QStringLiteral("focus-levels"));
    }
    {
        TFicheParamNiveauAgence links(main.get());
        links.SetDatabase(main->Database());
        links.SetLevelLabel(QStringLiteral("Chef de secteur"));
        links.show();
        save(&links, QStringLiteral("level-agencies"));
        focus(&links, "btnSupprimer");
        save(&links, QStringLiteral("focus-level-agencies"));
    }
    {
        // An opened list, its highlighted entry under the pointer.
        TFicheTDB table(main.get());
        table.SetDatabase(main->Database());
        table.SetAdmin(true);
        table.show();
        settle();
        focus(&table, "btnImprimer");
        save(&table, QStringLiteral("focus-tracking-table"));
        auto *levels = table.findChild<QComboBox *>(QStringLiteral("cblNiveau"));
        levels->showPopup();
        settle();
        if (QAbstractItemView *view = levels->view()) {
            const QRect entry = view->visualRect(view->model()->index(3, 0));
            QCursor::setPos(view->viewport()->mapToGlobal(entry.center()));
            view->setCurrentIndex(view->model()->index(3, 0));
        }
        saveScreen(QStringLiteral("tracking-table-list-open"));
        levels->hidePopup();
    }
    {
        // Longer labels and larger amounts than the sample's.
        QTemporaryDir scratch;
        TABSDatabase longs;
        longs.SetDatabaseFileName(withLongLabels(args.at(0), scratch.path()));
        {
            TFicheTDB table(main.get());
            table.SetDatabase(&longs);
            table.SetAdmin(true);
            table.show();
            settle();
            if (chooseText(table.findChild<QComboBox *>(QStringLiteral("cblNiveau")),
                           QStringLiteral("Secteur Bourgogne-Franche-Comté")))
                save(&table, QStringLiteral("tracking-table-long-labels"));
        }
        {
            TFicheParamNiveau levels(main.get());
            levels.SetDatabase(&longs);
            levels.SetLevelLabel(QStringLiteral("Chef de secteur"));
            levels.show();
            save(&levels, QStringLiteral("levels-long-labels"));
        }
        {
            TFicheParamNiveauAgence links(main.get());
            links.SetDatabase(&longs);
            links.SetLevelLabel(QStringLiteral("Chef de secteur"));
            links.show();
            settle();
            if (chooseText(links.findChild<QComboBox *>(QStringLiteral("cblNiveaux")),
                           QStringLiteral("Secteur Bourgogne-Franche-Comté")))
                save(&links, QStringLiteral("level-agencies-long-labels"));
        }
        longs.close();
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
    {
        // Value marks on small and large values, 0 included.
        const QList<double> large{1234567, 3, 0, 998877, 55, 2, 412, 0, 87, 1500};
        const QList<double> small{-2, -5, 0, -13, -1500000, -4, -36, 0, -7, -250};
        TFicheBarChartStack stacked(main.get());
        TFicheBarChart2Series sideBySide(main.get());
        for (TFicheBarChart *chart : std::initializer_list<TFicheBarChart *>{&stacked, &sideBySide}) {
            chart->SetChartTitle(QStringLiteral("Valeurs petites et grandes"));
            chart->SetSeriesTitle(0, QStringLiteral("Série 1"));
            chart->SetSeriesTitle(1, QStringLiteral("Série 2"));
            for (int i = 0; i < large.size(); ++i) {
                const QString month = QStringLiteral("2026-%1").arg(i + 1, 2, 10, QLatin1Char('0'));
                chart->AddSeriesValue(0, month, large.at(i));
                chart->AddSeriesValue(1, month, chart == &stacked ? small.at(i) : -small.at(i) / 3);
            }
            chart->show();
        }
        save(&stacked, QStringLiteral("chart-marks-stacked"));
        save(&sideBySide, QStringLiteral("chart-marks-side-by-side"));
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
