// orvalis-shots: pictures of the program's windows on a database, for the
// README. Run it under a virtual X server (scripts/screenshots).
//
//   orvalis-shots DATABASE OUTPUT_DIR
//   orvalis-shots --timing DATABASE   the time from a click in a list to
//                                     the painted table (clicktimes.h)
#include "clicktimes.h"

#include "app/filedialogs.h"
#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "charts/sampleindicators.h"
#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"
#include "charts/tfichetrend.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"

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

void save(QWidget *window, const QString &name)
{
    settle();
    const QString path = QDir(outputDir).filePath(name + QStringLiteral(".png"));
    window->grab().save(path);
    QTextStream(stdout) << path << '\n';
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

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: orvalis-shots DATABASE OUTPUT_DIR | orvalis-shots --timing DATABASE\n";
        return 2;
    }
    if (args.at(1) == QLatin1String("--timing")) {
        Startup::installFrenchTranslations(app);
        Startup::applyStyleSheet(app);
        QTextStream out(stdout);
        return measureClicks(args.at(2), out);
    }
    outputDir = args.at(2);
    QDir().mkpath(outputDir);
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
    return 0;
}
