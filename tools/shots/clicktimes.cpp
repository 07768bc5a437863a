#include "tools/shots/clicktimes.h"

#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "dashboard/tfichetdb.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTextStream>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>

namespace {

// Notes when the table was last painted: each paint of its viewport is
// handed on to the viewport, then timed.
class PaintClock : public QObject
{
public:
    PaintClock(QWidget *viewport, const QElapsedTimer &clock) : m_viewport(viewport), m_clock(clock)
    {
        viewport->installEventFilter(this);
    }
    qint64 lastPaint() const { return m_lastPaint; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_viewport || event->type() != QEvent::Paint || m_inside)
            return false;
        m_inside = true;
        QCoreApplication::sendEvent(m_viewport, event);
        m_inside = false;
        m_lastPaint = m_clock.nsecsElapsed();
        return true;
    }

private:
    QWidget *m_viewport;
    const QElapsedTimer &m_clock;
    qint64 m_lastPaint = -1;
    bool m_inside = false;
};

// Lets the window do what it has to, until it has painted nothing for a
// while.
void settle(const PaintClock &paints, const QElapsedTimer &clock)
{
    qint64 quietSince = clock.nsecsElapsed();
    qint64 seen = paints.lastPaint();
    while (clock.nsecsElapsed() - quietSince < 300'000'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (paints.lastPaint() != seen) {
            seen = paints.lastPaint();
            quietSince = clock.nsecsElapsed();
        }
        QThread::msleep(2);
    }
}

// Chooses the entry `index` of a list as a user does: opens its popup and
// clicks the entry. Returns when the click was given.
void clickEntry(QComboBox *combo, int index)
{
    combo->showPopup();
    QCoreApplication::processEvents();
    QAbstractItemView *view = combo->view();
    view->scrollTo(view->model()->index(index, 0));
    QCoreApplication::processEvents();
    const QPoint at = view->visualRect(view->model()->index(index, 0)).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, view->viewport()->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->viewport()->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view->viewport(), &press);
    QCoreApplication::sendEvent(view->viewport(), &release);
}

QString milliseconds(qint64 ns)
{
    return QStringLiteral("%1 ms").arg(double(ns) / 1e6, 0, 'f', 1);
}

double median(QVector<qint64> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n == 0 ? 0 : n % 2 ? double(values.at(n / 2)) : (double(values.at(n / 2 - 1)) + double(values.at(n / 2))) / 2;
}

} // namespace

int measureClicks(const QString &database, QTextStream &out)
{
    auto main = Startup::createMainWindow({database, QStringLiteral("VEXOR")});
    TFicheTDB table(main.get());
    table.SetDatabase(main->Database());
    table.SetAdmin(true);
    auto *tree = table.findChild<QTreeWidget *>(QStringLiteral("lvData"));
    QElapsedTimer clock;
    clock.start();
    const PaintClock paints(tree->viewport(), clock);

    // From a click to the table painted with its new rows.
    auto timed = [&](const std::function<void()> &choice) {
        const qint64 start = clock.nsecsElapsed();
        choice();
        settle(paints, clock);
        return paints.lastPaint() - start;
    };

    const qint64 opening = timed([&table] { table.show(); });
    out << "Opening, the level rows of the current month: " << milliseconds(opening) << " ("
        << tree->topLevelItemCount() << " rows)\n";

    // Months: each first click reads that month; clicks on months already
    // read read nothing but the links.
    auto *months = table.findChild<QComboBox *>(QStringLiteral("cblPeriode"));
    QVector<qint64> first, again;
    const int monthsToRead = std::min(4, int(months->count()) - 1);
    for (int i = 1; i <= monthsToRead; ++i)
        first << timed([months, i] { clickEntry(months, i); });
    for (int round = 0; round < 3; ++round)
        for (int i = monthsToRead; i >= 1; --i)
            again << timed([months, i] { clickEntry(months, i); });
    out << "A month read for the first time: median " << milliseconds(qint64(median(first))) << " of " << first.size()
        << " clicks\n";
    out << "A month already read: median " << milliseconds(qint64(median(again))) << " of " << again.size()
        << " clicks\n";

    // Down the chain: a level (its agencies), an agency (its users), a user.
    auto *levels = table.findChild<QComboBox *>(QStringLiteral("cblNiveau"));
    auto *agencies = table.findChild<QComboBox *>(QStringLiteral("cblAgence"));
    auto *users = table.findChild<QComboBox *>(QStringLiteral("cblUtilisateur"));
    if (levels->count() > 1) {
        out << "A level, its agencies: " << milliseconds(timed([levels] { clickEntry(levels, 1); })) << " ("
            << tree->topLevelItemCount() << " rows)\n";
        if (agencies->count() > 1) {
            out << "An agency, its users (first time): " << milliseconds(timed([agencies] { clickEntry(agencies, 1); }))
                << " (" << tree->topLevelItemCount() << " rows)\n";
            if (users->count() > 1)
                out << "One user: " << milliseconds(timed([users] { clickEntry(users, 1); })) << '\n';
            out << "Back to the agency's users: " << milliseconds(timed([users] { clickEntry(users, 0); })) << '\n';
        }
        out << "Back to the levels: " << milliseconds(timed([levels] { clickEntry(levels, 0); })) << '\n';
    }
    return 0;
}
