#include "dashboard/comparison.h"

#include "dashboard/tableexport.h"
#include "store/boundstatement.h"
#include "store/tabsdatabase.h"
#include "ui/numbertext.h"

#include <QHash>
#include <QSet>

#include <cmath>

namespace {

// Figure `figure` (0 to 8) is the table's column figure + 1.
double figureOf(const DashboardRow &row, int figure)
{
    return TableExport::columnValue(row, figure + 1);
}

// A row's figures say something: one of them is not 0.
bool matters(const DashboardRow &row)
{
    return row.HT != 0 || row.TVA != 0 || row.Marge != 0 || row.NbRelances != 0 || row.NbDevis != 0
        || row.NbCommandes != 0;
}

// Before `b` in the order of the row statements (ORDER BY libelle: the
// bytes of the texts, on both engines).
bool labelBefore(const DashboardRow &a, const DashboardRow &b)
{
    return a.libelle.toUtf8() < b.libelle.toUtf8();
}

// The places of users in the order the user rows' statement lists them
// (ORDER BY u.libelle: the column's own collation, which need not be the
// bytes' order).
QHash<QString, int> userOrder(TABSDatabase *db, const QStringList &codes)
{
    BoundStatement statement;
    statement.text = QStringLiteral("SELECT code FROM dim_utilisateur WHERE code IN (%1) ORDER BY libelle ASC")
                         .arg(statement.bindList(codes));
    TABSQuery query(db);
    query.SetDatabaseName(db->DatabaseName());
    statement.setOn(query);
    query.Open();
    QHash<QString, int> order;
    for (; !query.Eof(); query.Next()) {
        const QString code = query.FieldByName(QStringLiteral("code")).AsString();
        if (!order.contains(code))
            order.insert(code, int(order.size()));
    }
    return order;
}

// The months of both periods, for one pass.
QVector<Period> monthsOf(const MonthSpan &a, const MonthSpan &b)
{
    QVector<Period> months;
    for (const MonthSpan &span : {a, b})
        for (int m = span.first; m <= span.last; ++m)
            months.append({span.year, m, QString()});
    return months;
}

} // namespace

bool isRate(int figure)
{
    return TableExport::columnKind(figure + 1) == TableExport::ColumnKind::Percent;
}

// The amount a rate is taken of: no quote amount, no margin rate; no
// quote, no conversion rate. An infinite one gives no rate either (it
// shows as 0 %).
static bool hasRate(const DashboardRow &row, int figure)
{
    const double base = figure == 4 ? row.HT : row.NbDevis;
    return base != 0 && std::isfinite(base);
}

std::optional<double> figureChange(int figure, const DashboardRow &chosen, const DashboardRow &compared)
{
    const double now = figureOf(chosen, figure);
    const double before = figureOf(compared, figure);
    double change = now - before;
    // A rate of nothing (shown as 0 %) has no change.
    if (isRate(figure) && !(hasRate(chosen, figure) && hasRate(compared, figure)))
        return std::nullopt;
    if (!isRate(figure)) {
        if (before == 0)
            return std::nullopt;
        // Past what a double holds the difference of two finite values
        // overflows: each is then taken in parts of the comparison first.
        const bool overflows = std::isinf(change) && std::isfinite(now) && std::isfinite(before);
        change = overflows ? (now / std::fabs(before) - std::copysign(1.0, before)) * 100
                           : change / std::fabs(before) * 100;
    }
    if (std::isnan(change))
        return std::nullopt;
    return change;
}

std::array<std::optional<double>, 9> ComparedRow::changes() const
{
    std::array<std::optional<double>, 9> out;
    if (compared)
        for (int i = 0; i < 9; ++i)
            out[size_t(i)] = figureChange(i, chosen, *compared);
    return out;
}

QStringList ComparedRow::changeCells(const QLocale &locale) const
{
    const auto values = changes();
    QStringList cells;
    for (int i = 0; i < 9; ++i)
        cells << Format::change(values[size_t(i)], isRate(i), locale);
    return cells;
}

QStringList ComparedRow::shownCells(const QLocale &locale) const
{
    QStringList cells = chosen.cells(locale);
    if (!compared)
        return cells;
    const QStringList before = compared->cells(locale);
    const auto values = changes();
    for (int i = 0; i < 9; ++i) {
        QString line = before.at(i + 1);
        if (const std::optional<double> change = values[size_t(i)]) {
            const QString text = Format::change(change, isRate(i), locale);
            const QChar mark = text == Format::change(0.0, isRate(i), locale) ? QChar(u'=')
                : *change > 0                                                   ? QChar(u'▲')
                                                                                : QChar(u'▼');
            line += QStringLiteral("  ") + mark + QLatin1Char(' ') + text;
        }
        cells[i + 1] += QLatin1Char('\n') + line;
    }
    return cells;
}

void buildComparedDashboard(TABSDatabase *db, const DashboardSelection &selection, const PeriodChoice &choice,
                            FigureSource &source, const std::function<void(const ComparedRow &)> &onRow,
                            ComparedRow *totals)
{
    DashboardSelection now = selection;
    now.setSpan(choice.chosen(selection.year, selection.month));
    const std::optional<MonthSpan> span = choice.compared(selection.year, selection.month);
    if (!span) {
        DashboardRow line;
        buildDashboard(db, now, source, [&onRow](const DashboardRow &row) { onRow({row, std::nullopt}); },
                       totals ? &line : nullptr);
        if (totals)
            *totals = {line, std::nullopt};
        return;
    }
    DashboardSelection before = selection;
    before.setSpan(*span);
    const int drill = drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex);

    TReadTransaction snapshot(db);
    source.prepareMonths(db, now, drill, monthsOf(now.span(), *span));

    QVector<DashboardRow> earlier;
    buildDashboard(db, before, source, [&earlier](const DashboardRow &row) { earlier << row; });
    QHash<QString, DashboardRow> earlierByCode;
    for (const DashboardRow &row : std::as_const(earlier))
        earlierByCode.insert(row.code, row);

    QVector<DashboardRow> listed;
    buildDashboard(db, now, source, [&listed](const DashboardRow &row) { listed << row; });
    const QSet<QString> listedCodes = [&listed] {
        QSet<QString> codes;
        for (const DashboardRow &row : std::as_const(listed))
            codes.insert(row.code);
        return codes;
    }();

    // The rows of the chosen period, with those of the comparison alone
    // that matter at their places.
    TotalsScope scope;
    scope.drill = drill;
    auto deliver = [&](const DashboardRow &row, const DashboardRow &compared) {
        scope.rowCodes << row.code;
        onRow({row, compared});
    };
    auto deliverListed = [&](const DashboardRow &row) {
        deliver(row, earlierByCode.value(row.code, DashboardRow::from(row.code, row.libelle, AccountSums())));
    };
    QVector<DashboardRow> alone;
    for (const DashboardRow &row : std::as_const(earlier))
        if (!listedCodes.contains(row.code) && matters(row))
            alone << row;
    // Users' labels are placed as the database orders them; other rows
    // by their bytes.
    QHash<QString, int> order;
    if (!alone.isEmpty() && drill == 2) {
        QStringList codes;
        for (const QVector<DashboardRow> *rows : {&listed, &alone})
            for (const DashboardRow &row : *rows)
                codes << row.code;
        order = userOrder(db, codes);
    }
    const auto placedBefore = [&order](const DashboardRow &a, const DashboardRow &b) {
        const auto x = order.constFind(a.code), y = order.constFind(b.code);
        return x != order.cend() && y != order.cend() ? *x < *y : labelBefore(a, b);
    };
    qsizetype next = 0;
    for (const DashboardRow &row : std::as_const(alone)) {
        for (; next < listed.size() && !placedBefore(row, listed.at(next)); ++next)
            deliverListed(listed.at(next));
        deliver(DashboardRow::from(row.code, row.libelle, AccountSums()), row);
    }
    for (; next < listed.size(); ++next)
        deliverListed(listed.at(next));

    if (totals) {
        totals->chosen = DashboardRow::from(QString(), totalsLabel(), source.totals(db, now, scope));
        totals->compared = DashboardRow::from(QString(), totalsLabel(), source.totals(db, before, scope));
    }
}
