// The grouped figures against the statement-per-figure path on random
// organisations, and when the grouped source reads the facts again.
#include "support/testsupport.h"

#include "dashboard/comparison.h"
#include "dashboard/dashboardfigures.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "dashboard/trend.h"
#include "store/dberror.h"
#include "store/groupsums.h"
#include "store/schema.h"
#include "store/sqlitehandle.h"
#include "store/tabsquery.h"
#include "store/taccount.h"
#include "store/taccountsql.h"
#include "ui/numbertext.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>
#include <variant>

namespace {

struct Month
{
    int year;
    int month;
};

// What the values of the facts are, beside ordinary amounts and counts.
enum class Values {
    Ordinary,
    // Amounts past fifteen digits, amounts near the largest double, +∞ and
    // −∞ (what 9e999 reads as), NULL.
    Extreme,
    // Integers (an integer `valeur` column), some so large that sums leave
    // 64 bits.
    Integers,
    // Amounts whose sums overflow to infinity among ordinary ones of both
    // signs (on a file: a server refuses to sum them at all).
    Overflowing,
};

// A small organisation drawn at random, with every awkward case the
// account statement has a meaning for: codes with quotes and accents, empty
// codes, NULL dimensions, duplicate links, an agency in two levels, agencies
// in none, a level without links, a level with an empty code, facts of an
// account the table does not read, several months; and values of the kind
// asked for.
struct RandomOrganisation
{
    QStringList agencies;  // codes of dim_agence
    QStringList users;     // codes of dim_utilisateur
    QStringList suppliers; // codes of dim_fournisseur
    QStringList levels;    // codes of dim_niveau
    QList<Month> months;   // months with facts
    QList<QPair<QString, QString>> agencyUsers; // (agency, user) pairs with facts

    RandomOrganisation(TestDatabase &db, quint32 seed, Values values = Values::Ordinary);
};

QVariant drawValue(QRandomGenerator &random, bool count, Values values)
{
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const int draw = random.bounded(100);
    if (draw < 3)
        return QVariant(); // NULL
    if (values == Values::Extreme) {
        // Amounts past fifteen digits, amounts near the largest double
        // (beside which the ordinary ones vanish), the two infinities; the
        // ordinary amounts in multiples of 1024. Every sum is then exact
        // whatever the order of its additions, as the engine's order and
        // the grouped one differ: sums of doubles that round depend on it.
        if (draw < 12) {
            switch (draw % 4) {
            case 0:
                return double(random.bounded(1, 64)) * 0x1p50;
            case 1:
                return double(random.bounded(1, 8)) * 0x1p1012;
            case 2:
                return infinity;
            default:
                return -infinity;
            }
        }
        if (!count)
            return double(random.bounded(-500, 5000)) * 1024.0;
    }
    if (values == Values::Overflowing && draw < 10)
        return 1.5e308;
    if (values == Values::Integers) {
        // Whole numbers; now and then half the 64-bit range, so that two
        // of them leave it.
        if (draw < 10)
            return qint64(1) << 62 | qint64(random.bounded(1000));
        return qint64(random.bounded(-500, 5000));
    }
    if (count) {
        // Counts: whole numbers, now and then a fraction that truncation
        // cuts; all exact in binary, so their sums do not depend on the
        // order of the additions.
        const double counts[] = {0, 1, 2, 3, 5, -1, 2.75, -2.75, 0.5, 1.25};
        return counts[random.bounded(10)];
    }
    // Amounts in cents, negative ones included.
    return double(random.bounded(-50000, 500000)) / 100.0;
}

RandomOrganisation::RandomOrganisation(TestDatabase &db, quint32 seed, Values values)
{
    QRandomGenerator random(seed);
    auto pick = [&random](const QVariantList &from) { return from.at(random.bounded(int(from.size()))); };

    agencies = {"A1", "A'2", "Agence-Évry", "", "Ö'B\"3", "x' OR '1'='1", "A7"};
    users = {"U1", "U'2", "Zoé", "", "U5", "d'Artagnan", "U7", "U8"};
    suppliers = {"F1", "F'2", "", "Fé"};
    levels = {"U1", "U'2", "", "Zoé", "U5", "VIDE"};

    if (values == Values::Integers) {
        db.exec(QStringLiteral("DROP TABLE data"));
        db.exec(QStringLiteral("CREATE TABLE data (code_account TEXT, period_year INTEGER, period_month INTEGER, "
                               "valeur BIGINT, dim_agence TEXT, dim_utilisateur TEXT, dim_fournisseur TEXT, "
                               "dim_dossier TEXT)"));
    }
    db.exec(QStringLiteral("BEGIN"));
    for (int i = 0; i < agencies.size(); ++i)
        db.addAgency(agencies.at(i), QStringLiteral("Agence %1 '%2'").arg(QChar(u'À' + i)).arg(i));
    for (int i = 0; i < users.size(); ++i)
        db.addUser(users.at(i), QStringLiteral("Utilisateur %1").arg(QChar(u'a' + (i * 5) % 8)));
    for (int i = 0; i < suppliers.size(); ++i)
        db.addSupplier(suppliers.at(i), QStringLiteral("Fournisseur %1").arg(i));
    for (int i = 0; i < levels.size(); ++i)
        db.addLevel(levels.at(i), QStringLiteral("Secteur %1").arg(QChar(u'Z' - i)));

    // Links: each level but "VIDE" gets a few agencies, some twice; an
    // agency code that has no dim_agence row; NULL on either side.
    for (const QString &level : levels) {
        if (level == QLatin1String("VIDE"))
            continue;
        const int count = 1 + random.bounded(3);
        for (int i = 0; i < count; ++i) {
            const QString agency = agencies.at(random.bounded(int(agencies.size()) - 1)); // "A7" stays unlinked
            db.link(level, agency);
            if (random.bounded(3) == 0)
                db.link(level, agency);
        }
    }
    db.link(QStringLiteral("U1"), QStringLiteral("A1"));
    db.link(QStringLiteral("U'2"), QStringLiteral("A1")); // A1 in two levels
    db.link(QStringLiteral("U5"), QStringLiteral("INCONNUE"));
    db.exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES ('U5', NULL)"));
    db.exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (NULL, 'A1')"));

    months = {{2024, 1}, {2024, 2}, {2023, 12}};
    QVariantList agencyValues{QVariant(), QString(), QStringLiteral("INCONNUE")};
    for (const QString &a : agencies)
        agencyValues << a;
    QVariantList userValues{QVariant(), QString()};
    for (const QString &u : users)
        userValues << u;
    QVariantList supplierValues{QVariant(), QString()};
    for (const QString &s : suppliers)
        supplierValues << s;
    QStringList accounts = Schema::accountCodes();
    // Accounts the table does not read.
    accounts << QStringLiteral("NB_APPELS") << QStringLiteral("MONTANT_DEVIS_VENTE_HT_2") << QStringLiteral("nb_relances")
             << QString();

    QSet<QPair<QString, QString>> pairs;
    for (int i = 0; i < 700; ++i) {
        const Month month = months.at(random.bounded(int(months.size())));
        const QString account = accounts.at(random.bounded(int(accounts.size())));
        const int kind = Schema::accountCodes().indexOf(account);
        const QVariant value = drawValue(random, kind >= 3 || kind < 0, values);
        const QVariant agency = pick(agencyValues);
        const QVariant user = pick(userValues);
        db.exec(QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                               "dim_utilisateur, dim_fournisseur, dim_dossier) VALUES (?, ?, ?, ?, ?, ?, ?, 'D')"),
                {account, month.year, month.month, value, agency, user, pick(supplierValues)});
        if (!agency.isNull() && !user.isNull())
            pairs.insert({agency.toString(), user.toString()});
    }
    db.exec(QStringLiteral("COMMIT"));
    agencyUsers = pairs.values();
    std::sort(agencyUsers.begin(), agencyUsers.end());
}

// The selections of every drill level, from the codes present.
QList<DashboardSelection> selections(const RandomOrganisation &org, const Month &month, const QString &supplier)
{
    DashboardSelection base;
    base.admin = true;
    base.year = month.year;
    base.month = month.month;
    base.supplierCode = supplier;

    QList<DashboardSelection> out;
    out << base; // drill 0, every level
    DashboardSelection own = base;
    own.admin = false;
    own.user = QStringLiteral("U'2");
    out << own; // drill 0, one level
    for (const QString &level : org.levels) {
        DashboardSelection s = base;
        s.levelIndex = 1;
        s.levelCode = level;
        out << s; // drill 1
    }
    for (const QString &agency : org.agencies) {
        DashboardSelection s = base;
        s.levelIndex = s.agencyIndex = 1;
        s.levelCode = org.levels.first();
        s.agencyCode = agency;
        out << s; // drill 2
    }
    QSet<QString> agenciesDone;
    for (const auto &[agency, user] : org.agencyUsers) {
        // One user per agency.
        if (agenciesDone.contains(agency))
            continue;
        agenciesDone.insert(agency);
        DashboardSelection s = base;
        s.levelIndex = s.agencyIndex = s.userIndex = 1;
        s.levelCode = org.levels.first();
        s.agencyCode = agency;
        s.userCode = user;
        out << s; // drill 3
    }
    return out;
}

// The rows of a table, and the engine's error that ended it, if one did.
struct Table
{
    QList<DashboardRow> rows;
    QString error;
};

Table build(TABSDatabase &db, const DashboardSelection &selection, FigureSource &source)
{
    Table table;
    try {
        buildDashboard(&db, selection, source, [&table](const DashboardRow &row) { table.rows << row; });
    } catch (const EDatabaseError &e) {
        table.error = e.message();
    }
    return table;
}

// Equal but for the last bits a different order of additions may change.
bool close(double a, double b)
{
    if (a == b || (std::isnan(a) && std::isnan(b)))
        return true;
    return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

QString differences(const Table &expected, const Table &actual)
{
    if (expected.error != actual.error)
        return QStringLiteral("error \"%1\" instead of \"%2\"").arg(actual.error, expected.error);
    if (expected.rows.size() != actual.rows.size())
        return QStringLiteral("%1 rows instead of %2").arg(actual.rows.size()).arg(expected.rows.size());
    for (int r = 0; r < expected.rows.size(); ++r) {
        const DashboardRow &e = expected.rows.at(r);
        const DashboardRow &a = actual.rows.at(r);
        if (e.code != a.code || e.cells() != a.cells())
            return QStringLiteral("row %1: [%2] instead of [%3]")
                .arg(r)
                .arg(a.cells().join(QLatin1Char('|')), e.cells().join(QLatin1Char('|')));
        // The counts are sums of doubles too, summed in another order.
        const double ev[] = {e.HT, e.TVA, e.TTC, e.Marge, e.MargePct, e.Transformation, e.NbRelances, e.NbDevis, e.NbCommandes};
        const double av[] = {a.HT, a.TVA, a.TTC, a.Marge, a.MargePct, a.Transformation, a.NbRelances, a.NbDevis, a.NbCommandes};
        for (int i = 0; i < 9; ++i)
            if (!close(ev[i], av[i]))
                return QStringLiteral("row %1, value %2: %3 instead of %4").arg(r).arg(i).arg(av[i], 0, 'g', 17).arg(ev[i], 0, 'g', 17);
    }
    return {};
}

QString describe(const DashboardSelection &s)
{
    return QStringLiteral("%1-%2 drill %3 level '%4' agency '%5' user '%6' supplier '%7'%8")
        .arg(s.year)
        .arg(s.month)
        .arg(drillLevel(s.levelIndex, s.agencyIndex, s.userIndex))
        .arg(s.levelCode, s.agencyCode, s.userCode, s.supplierCode, s.admin ? QString() : QStringLiteral(" (user)"));
}

// The covering index of the fact table, in either order, or none.
enum class Index { None, AgencyFirst, AccountFirst };

} // namespace

Q_DECLARE_METATYPE(Values)
Q_DECLARE_METATYPE(Index)

class TestGrouped : public QObject
{
    Q_OBJECT

private slots:
    void sameTable_data();
    void sameTable();
    void sameFiguresForAnyRequest_data();
    void sameFiguresForAnyRequest();
    void rangeOrder_data();
    void rangeOrder();
    void readsByRangesOfAnIndex_data();
    void readsByRangesOfAnIndex();
    void trendIsOnePass_data();
    void trendIsOnePass();
    void overflowingIntegerSumIsTheEngines();
    void sumOfValuesIsTheEnginesSum_data();
    void sumOfValuesIsTheEnginesSum();
    void choicesWithinTheMonthReadNoFacts();
    void spansReadOnlyNewMonths();
    void readsAgain_data();
    void readsAgain();
    void linksReadAtEveryRefresh();
    void lastUsedPassesStay();
};

namespace {

void createIndex(TestDatabase &file, Index index)
{
    if (index == Index::AgencyFirst)
        file.exec(Schema::recommendedIndex());
    else if (index == Index::AccountFirst)
        file.exec(Schema::accountFirstIndex());
}

} // namespace

void TestGrouped::sameTable_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<Index>("index");
    QTest::addColumn<Values>("values");
    QTest::newRow("no index") << 1u << Index::None << Values::Ordinary;
    QTest::newRow("agency first") << 2u << Index::AgencyFirst << Values::Ordinary;
    QTest::newRow("account first") << 3u << Index::AccountFirst << Values::Ordinary;
    QTest::newRow("extreme values, no index") << 4u << Index::None << Values::Extreme;
    QTest::newRow("extreme values, agency first") << 5u << Index::AgencyFirst << Values::Extreme;
    QTest::newRow("integers, no index") << 6u << Index::None << Values::Integers;
    QTest::newRow("integers, account first") << 7u << Index::AccountFirst << Values::Integers;
    QTest::newRow("overflowing, agency first") << 8u << Index::AgencyFirst << Values::Overflowing;
    QTest::newRow("overflowing, no index") << 9u << Index::None << Values::Overflowing;
}

void TestGrouped::sameTable()
{
    QFETCH(quint32, seed);
    QFETCH(Index, index);
    QFETCH(Values, values);
    if (values == Values::Overflowing)
        SKIP_ON_SERVER("a server refuses a sum that overflows, in either path, before any row");

    TestDatabase file;
    const RandomOrganisation org(file, seed, values);
    createIndex(file, index);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());

    // Two of the three months with facts (the third stays to be left out),
    // and one without.
    QList<Month> months = org.months.mid(0, 2);
    months << Month{2024, 3};
    QStringList suppliers = org.suppliers; // "" among them: no restriction
    suppliers << QStringLiteral("INCONNU");

    // One source for the whole run, as a window keeps it, and a new one for
    // every table.
    GroupedFigureSource kept;
    int tables = 0, rows = 0, failed = 0, statements = 0;
    for (const Month &month : months) {
        for (const QString &supplier : suppliers) {
            for (const DashboardSelection &selection : selections(org, month, supplier)) {
                PerFigureSource reference;
                const Table expected = build(db, selection, reference);
                GroupedFigureSource fresh;
                const QString freshDiff = differences(expected, build(db, selection, fresh));
                QVERIFY2(freshDiff.isEmpty(), qPrintable(describe(selection) + QStringLiteral(": ") + freshDiff));
                // One pass; by ranges of an index, the level with an empty
                // code (every agency) is one more.
                const bool ranges = index != Index::None && !TestDatabase::onServer();
                const int drill = drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex);
                if (expected.error.isEmpty())
                    QCOMPARE(fresh.passes(), ranges && drill == 0 && selection.admin ? 2 : 1);
                statements += fresh.figureStatements();
                const QString keptDiff = differences(expected, build(db, selection, kept));
                QVERIFY2(keptDiff.isEmpty(), qPrintable(describe(selection) + QStringLiteral(" (kept): ") + keptDiff));
                ++tables;
                if (!expected.error.isEmpty())
                    ++failed;
                for (const DashboardRow &row : expected.rows)
                    if (row.HT != 0 || row.NbDevis != 0)
                        ++rows;
            }
        }
    }
    // The kept source read the facts for fewer tables than it built (on a
    // server, any commit in the cluster, other tests' included, has it read
    // again).
    if (!TestDatabase::onServer())
        QVERIFY2(kept.passes() < tables, qPrintable(QString::number(kept.passes())));
    // The random organisation did produce figures worth comparing, and
    // the values asked for did what they are there for.
    qDebug("%d tables, %d rows with figures, %d ended by an error, %d figures read by their own statement", tables,
           rows, failed, statements);
    QVERIFY(rows > tables / 3);
    if (values == Values::Ordinary)
        QCOMPARE(statements, 0);
    if (values == Values::Integers && !TestDatabase::onServer())
        QVERIFY(failed > 0 && failed < tables); // "integer overflow"
    if (values == Values::Overflowing)
        QVERIFY(statements > 0);
}

void TestGrouped::sameFiguresForAnyRequest_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<Index>("index");
    QTest::addColumn<Values>("values");
    QTest::newRow("no index") << 11u << Index::None << Values::Ordinary;
    QTest::newRow("agency first") << 12u << Index::AgencyFirst << Values::Ordinary;
    QTest::newRow("account first") << 13u << Index::AccountFirst << Values::Ordinary;
    QTest::newRow("extreme values, agency first") << 14u << Index::AgencyFirst << Values::Extreme;
    QTest::newRow("integers, account first") << 15u << Index::AccountFirst << Values::Integers;
}

// Requests a refresh never makes (a supplier filter with an empty code, a
// user without an agency, a level and an agency together...) mean the same
// on both paths.
void TestGrouped::sameFiguresForAnyRequest()
{
    QFETCH(quint32, seed);
    QFETCH(Index, index);
    QFETCH(Values, values);
    TestDatabase file;
    const RandomOrganisation org(file, seed, values);
    createIndex(file, index);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());

    QRandomGenerator random(seed);
    auto code = [&random](const QStringList &codes) {
        const int i = random.bounded(int(codes.size()) + 1);
        return i < codes.size() ? codes.at(i) : QStringLiteral("INCONNU");
    };
    DashboardSelection first;
    first.year = org.months.first().year;
    first.month = org.months.first().month;
    PerFigureSource reference;
    GroupedFigureSource grouped;
    reference.prepare(&db, first, 0);
    grouped.prepare(&db, first, 0);

    // The six sums, or the engine's error.
    auto figures = [](FigureSource &source, TAccount &request) -> std::variant<AccountSums, QString> {
        try {
            return source.figures(request);
        } catch (const EDatabaseError &e) {
            return e.message();
        }
    };
    for (int i = 0; i < 300; ++i) {
        TAccount request;
        const Month month = org.months.at(random.bounded(int(org.months.size())));
        request.SetPeriod(month.year, month.month);
        if (random.bounded(2))
            request.SetLevelCode(code(org.levels));
        if (random.bounded(2))
            request.SetAgencyCode(code(org.agencies));
        if (random.bounded(2))
            request.SetUserCode(code(org.users));
        if (random.bounded(3) == 0)
            request.SetSupplierCode(code(org.suppliers));
        TAccount copy = request;
        const auto expected = figures(reference, request);
        const auto actual = figures(grouped, copy);
        if (std::holds_alternative<QString>(expected) || std::holds_alternative<QString>(actual)) {
            auto text = [](const std::variant<AccountSums, QString> &v) {
                return std::holds_alternative<QString>(v) ? std::get<QString>(v) : QStringLiteral("(sums)");
            };
            QCOMPARE(text(actual), text(expected));
            continue;
        }
        const AccountSums e = std::get<AccountSums>(expected);
        const AccountSums a = std::get<AccountSums>(actual);
        const double ev[] = {e.ht, e.tva, e.marge, e.relances, e.devis, e.commandes};
        const double av[] = {a.ht, a.tva, a.marge, a.relances, a.devis, a.commandes};
        for (int k = 0; k < 6; ++k)
            QVERIFY2(close(ev[k], av[k]), qPrintable(QStringLiteral("request %1, account %2: %3 instead of %4")
                                                         .arg(i)
                                                         .arg(k)
                                                         .arg(av[k], 0, 'g', 17)
                                                         .arg(ev[k], 0, 'g', 17)));
    }
}

void TestGrouped::rangeOrder_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("collations");
    QTest::addColumn<QStringList>("others");
    QTest::addColumn<bool>("supplier");
    QTest::addColumn<QStringList>("order"); // empty: no ranges

    const QStringList binary(7, QStringLiteral("BINARY"));
    const QStringList recommended{"period_year", "period_month", "dim_agence", "code_account",
                                  "dim_utilisateur", "dim_fournisseur", "valeur"};
    QTest::newRow("agency first") << recommended << binary << QStringList() << true
                                  << QStringList{"mois", "dim_agence", "code_account"};
    QTest::newRow("account first")
        << QStringList{"period_year", "period_month", "code_account", "dim_agence", "dim_utilisateur",
                       "dim_fournisseur", "valeur"}
        << binary << QStringList() << true << QStringList{"mois", "code_account", "dim_agence"};
    QTest::newRow("agency before the month, names in capitals")
        << QStringList{"DIM_AGENCE", "Period_Month", "period_year", "code_account", "valeur"} << binary
        << QStringList() << false << QStringList{"dim_agence", "mois", "code_account"};
    QTest::newRow("value stored beside the keys")
        << QStringList{"period_year", "period_month", "dim_agence", "code_account"} << binary
        << QStringList{"valeur", "dim_fournisseur"} << true << QStringList{"mois", "dim_agence", "code_account"};
    QTest::newRow("without the value")
        << QStringList{"period_year", "period_month", "dim_agence", "code_account", "dim_fournisseur"} << binary
        << QStringList() << false << QStringList();
    QTest::newRow("without the supplier, for a supplier")
        << QStringList{"period_year", "period_month", "dim_agence", "code_account", "valeur"} << binary
        << QStringList() << true << QStringList();
    QTest::newRow("without the supplier, for every supplier")
        << QStringList{"period_year", "period_month", "dim_agence", "code_account", "valeur"} << binary
        << QStringList() << false << QStringList{"mois", "dim_agence", "code_account"};
    QStringList nocase = binary;
    nocase[2] = QStringLiteral("NOCASE");
    QTest::newRow("agencies compared without case") << recommended << nocase << QStringList() << false << QStringList();
    QTest::newRow("user before the account")
        << QStringList{"period_year", "period_month", "dim_agence", "dim_utilisateur", "code_account", "valeur"}
        << binary << QStringList() << false << QStringList();
    QTest::newRow("three keys") << QStringList{"period_year", "period_month", "dim_agence"} << binary
                                << QStringList{"code_account", "valeur"} << false << QStringList();
    QTest::newRow("an expression") << QStringList{"period_year", "period_month", "", "code_account", "valeur"}
                                   << binary << QStringList() << false << QStringList();
}

void TestGrouped::rangeOrder()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, collations);
    QFETCH(QStringList, others);
    QFETCH(bool, supplier);
    QFETCH(QStringList, order);
    const std::optional<QStringList> found =
        GroupedFigureSource::rangeOrder(keys, collations.mid(0, keys.size()), keys + others, supplier);
    QCOMPARE(found.value_or(QStringList()), order);
}

// On a file, the pass follows the index there is: ranges of a covering
// index in its own order, one pass over the rows otherwise; the table is
// the same.
void TestGrouped::readsByRangesOfAnIndex_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("pass"); // how the pass statement starts and ends
    QTest::newRow("agency first") << Schema::recommendedIndex()
                                  << QStringLiteral("WITH agences|FROM agences CROSS JOIN comptes");
    QTest::newRow("account first") << Schema::accountFirstIndex()
                                   << QStringLiteral("WITH comptes|FROM comptes CROSS JOIN agences");
    QTest::newRow("agencies compared without case")
        << QStringLiteral("CREATE INDEX x ON data (period_year, period_month, dim_agence COLLATE NOCASE, code_account, "
                          "valeur)")
        << QStringLiteral("SELECT orvalis_sommes(|");
    QTest::newRow("partial") << Schema::recommendedIndex() + QStringLiteral(" WHERE valeur > 0")
                             << QStringLiteral("SELECT orvalis_sommes(|");
    QTest::newRow("none") << QString() << QStringLiteral("SELECT orvalis_sommes(|");
}

void TestGrouped::readsByRangesOfAnIndex()
{
    SKIP_ON_SERVER("a server is asked one GROUP BY");
    QFETCH(QString, index);
    QFETCH(QString, pass);
    TestDatabase file;
    const RandomOrganisation org(file, 21);
    if (!index.isEmpty())
        file.exec(index);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    DashboardSelection selection;
    selection.admin = true;
    selection.year = org.months.first().year;
    selection.month = org.months.first().month;

    StatementLog log(&db);
    GroupedFigureSource grouped;
    const Table table = build(db, selection, grouped);
    QStringList passes;
    for (const QString &statement : log.statements())
        if (statement.contains(QStringLiteral("FROM data")))
            passes << statement;
    // The level with an empty code stands for every agency: ranges are
    // for the agencies of levels, so it is one pass over the rows more.
    const QStringList ends = pass.split(QLatin1Char('|'));
    QVERIFY2(!passes.isEmpty() && passes.first().startsWith(ends.first()) && passes.first().endsWith(ends.last()),
             qPrintable(passes.join(QLatin1Char('\n'))));
    PerFigureSource reference;
    const QString diff = differences(build(db, selection, reference), table);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

// The thirteen months of a trend: one pass, the totals of thirteen tables
// of one month each.
void TestGrouped::trendIsOnePass_data()
{
    QTest::addColumn<Index>("index");
    QTest::addColumn<int>("drill");
    for (int drill = 0; drill <= 2; ++drill) {
        QTest::addRow("no index, drill %d", drill) << Index::None << drill;
        QTest::addRow("agency first, drill %d", drill) << Index::AgencyFirst << drill;
        QTest::addRow("account first, drill %d", drill) << Index::AccountFirst << drill;
    }
}

void TestGrouped::trendIsOnePass()
{
    QFETCH(Index, index);
    QFETCH(int, drill);
    TestDatabase file;
    const RandomOrganisation org(file, 31);
    createIndex(file, index);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());

    DashboardSelection selection;
    selection.admin = true;
    if (drill >= 1) {
        selection.levelIndex = 1;
        selection.levelCode = QStringLiteral("U1");
    }
    if (drill >= 2) {
        selection.agencyIndex = 1;
        selection.agencyCode = QStringLiteral("A1");
    }
    // The thirteen months up to the last month with facts, oldest first.
    QVector<Period> months;
    for (int i = 12; i >= 0; --i) {
        const QDate date = QDate(2024, 2, 1).addMonths(-i);
        months << Period{date.year(), date.month(), date.toString(QStringLiteral("yyyy-MM"))};
    }

    // The passes of the trend's source, told when it is done with.
    struct CountedSource : GroupedFigureSource
    {
        int *passesDone = nullptr;
        ~CountedSource() override { *passesDone = passes(); }
    };
    int passes = -1;
    const QVector<MonthTotals> trend = monthlyTotals(&db, selection, months, [&passes] {
        auto source = std::make_unique<CountedSource>();
        source->passesDone = &passes;
        return source;
    });
    QCOMPARE(trend.size(), 13);
    const bool ranges = index != Index::None && !TestDatabase::onServer();
    QCOMPARE(passes, ranges && drill == 0 ? 2 : 1);

    double amounts = 0;
    for (int i = 0; i < 13; ++i) {
        DashboardSelection month = selection;
        month.year = months.at(i).year;
        month.month = months.at(i).month;
        // The table of that month alone, from a grouped pass of its own.
        GroupedFigureSource single;
        const Table alone = build(db, month, single);
        MonthTotals totals;
        for (const DashboardRow &row : alone.rows) {
            totals.HT += row.HT;
            totals.Marge += row.Marge;
            totals.NbDevis += row.NbDevis;
            totals.NbCommandes += row.NbCommandes;
        }
        QCOMPARE(trend.at(i).period.text, months.at(i).text);
        // On a file the same sums to the last bit; a server adds a group's
        // rows in an order of its own for each statement.
        if (!TestDatabase::onServer()) {
            QCOMPARE(trend.at(i).HT, totals.HT);
            QCOMPARE(trend.at(i).Marge, totals.Marge);
        }
        QCOMPARE(Format::amount(trend.at(i).HT), Format::amount(totals.HT));
        QCOMPARE(Format::amount(trend.at(i).Marge), Format::amount(totals.Marge));
        QCOMPARE(trend.at(i).NbDevis, totals.NbDevis);
        QCOMPARE(trend.at(i).NbCommandes, totals.NbCommandes);
        amounts += std::fabs(totals.HT);
    }
    QVERIFY(amounts > 0);
}

// An integer sum past 64 bits is the engine's to tell: the figure is read
// with its own statement, which fails as it fails on the per-figure path,
// after the same rows.
void TestGrouped::overflowingIntegerSumIsTheEngines()
{
    SKIP_ON_SERVER("a server sums 64-bit integers in its numeric type, which does not overflow");
    TestDatabase file;
    file.exec(QStringLiteral("DROP TABLE data"));
    file.exec(QStringLiteral("CREATE TABLE data (code_account TEXT, period_year INTEGER, period_month INTEGER, "
                             "valeur INTEGER, dim_agence TEXT, dim_utilisateur TEXT, dim_fournisseur TEXT, "
                             "dim_dossier TEXT)"));
    file.addLevel("N1", "Nord");
    file.addLevel("N2", "Sud");
    file.addAgency("A1", "Agence 1");
    file.addAgency("A2", "Agence 2");
    file.link("N1", "A1");
    file.link("N2", "A2");
    file.link("N2", "A1");
    // Each agency's sum holds in 64 bits; the sum of both does not.
    const qint64 large = qint64(1) << 62;
    file.exec(QStringLiteral("INSERT INTO data VALUES ('MONTANT_DEVIS_VENTE_HT', 2024, 5, ?, 'A1', 'U1', 'F1', 'D')"),
              {large});
    file.exec(QStringLiteral("INSERT INTO data VALUES ('MONTANT_DEVIS_VENTE_HT', 2024, 5, ?, 'A2', 'U1', 'F1', 'D')"),
              {large});
    file.exec(QStringLiteral("INSERT INTO data VALUES ('MONTANT_DEVIS_TVA', 2024, 5, 7, 'A2', 'U1', 'F1', 'D')"));
    file.exec(Schema::recommendedIndex());
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    DashboardSelection selection;
    selection.admin = true;
    selection.year = 2024;
    selection.month = 5;

    PerFigureSource reference;
    const Table expected = build(db, selection, reference);
    QCOMPARE(expected.rows.size(), 1); // "Nord"
    QVERIFY2(expected.error.contains(QStringLiteral("integer overflow")), qPrintable(expected.error));

    StatementLog log(&db);
    GroupedFigureSource grouped;
    const Table actual = build(db, selection, grouped);
    QCOMPARE(differences(expected, actual), QString());
    QCOMPARE(grouped.figureStatements(), 1);
    TAccount request;
    request.SetPeriod(2024, 5);
    request.ClearSupplierCode();
    request.SetLevelCode(QStringLiteral("N2"));
    request.ClearAgencyCode();
    request.ClearUserCode();
    request.SetAccountCode(QStringLiteral("MONTANT_DEVIS_VENTE_HT"));
    QCOMPARE(log.statements().last(), TAccountSQL::statementFor(request));
}

// What SumOfValues makes of some values, against SQLite's SUM over the
// same values read in several orders: where every order gives the same,
// the same; where orders differ, it leaves the figure to the engine.
void TestGrouped::sumOfValuesIsTheEnginesSum_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<bool>("told"); // whether it must tell without the engine
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const qint64 quarter = qint64(1) << 61;
    QTest::newRow("amounts") << QVariantList{12.5, -3.25, 1e6, 0.1, 0.2} << true;
    QTest::newRow("integers") << QVariantList{qint64(5), qint64(-7), qint64(1) << 53, qint64(1)} << true;
    QTest::newRow("integers and a real") << QVariantList{qint64(5), 0.5, qint64(-7)} << true;
    QTest::newRow("only NULL") << QVariantList{QVariant(), QVariant()} << true;
    QTest::newRow("NULL among values") << QVariantList{QVariant(), 2.0, QVariant(), qint64(3)} << true;
    QTest::newRow("a text that reads as a number") << QVariantList{QStringLiteral("12"), qint64(3)} << true;
    QTest::newRow("a text that does not") << QVariantList{QStringLiteral("douze"), qint64(3)} << true;
    QTest::newRow("plus infinity") << QVariantList{infinity, -5.0, 1e300} << true;
    QTest::newRow("minus infinity") << QVariantList{-infinity, 5.0} << true;
    QTest::newRow("both infinities: NULL") << QVariantList{infinity, 1.0, -infinity} << true;
    QTest::newRow("positive overflow") << QVariantList{1.5e308, 1.5e308, 2.0} << true;
    QTest::newRow("negative overflow") << QVariantList{-1.5e308, -1.5e308} << true;
    QTest::newRow("overflow of either sign") << QVariantList{1.5e308, 1.5e308, -1.5e308} << false;
    QTest::newRow("infinity against an overflow") << QVariantList{infinity, -1.5e308, -1.5e308} << false;
    QTest::newRow("integers past 64 bits") << QVariantList{quarter, quarter, quarter, quarter, qint64(1)} << false;
    QTest::newRow("integers past 64 bits, then back")
        << QVariantList{quarter, quarter, quarter, quarter, -quarter, -quarter} << false;
    QTest::newRow("largest integers") << QVariantList{std::numeric_limits<qint64>::max(), qint64(-1)} << false;
}

void TestGrouped::sumOfValuesIsTheEnginesSum()
{
    QFETCH(QVariantList, values);
    QFETCH(bool, told);
    QTemporaryDir dir;
    SqliteConnection db(QDir(dir.path()).filePath(QStringLiteral("sommes.db")),
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, QStringLiteral("test"));
    QVERIFY(GroupSums::install(db.handle()));
    db.exec(QStringLiteral("CREATE TABLE t (ordre INTEGER PRIMARY KEY, groupe INTEGER, v)"), QStringLiteral("test"));

    // Several orders of the values, each split into groups at random: what
    // the engine's SUM gives for each order, and what the groups' sums give
    // put together.
    QRandomGenerator random(quint32(values.size()) * 7919u);
    QSet<QString> engine;
    std::optional<double> ours;
    bool first = true;
    for (int order = 0; order < 24; ++order) {
        QVariantList shuffled = values;
        if (order > 0)
            for (int i = int(shuffled.size()) - 1; i > 0; --i)
                shuffled.swapItemsAt(i, random.bounded(i + 1));
        db.exec(QStringLiteral("DELETE FROM t"), QStringLiteral("test"));
        for (int i = 0; i < shuffled.size(); ++i) {
            SqliteStatement insert(db, QStringLiteral("INSERT INTO t (ordre, groupe, v) VALUES (?, ?, ?)"),
                                   QStringLiteral("test"));
            insert.bind(1, sqlite3_int64(i));
            insert.bind(2, sqlite3_int64(random.bounded(3)));
            const QVariant &v = shuffled.at(i);
            if (v.isNull())
                sqlite3_bind_null(insert.handle(), 3);
            else if (v.typeId() == QMetaType::LongLong)
                insert.bind(3, sqlite3_int64(v.toLongLong()));
            else if (v.typeId() == QMetaType::QString)
                insert.bind(3, v.toString());
            else
                sqlite3_bind_double(insert.handle(), 3, v.toDouble());
            QCOMPARE(insert.step(), SQLITE_DONE);
        }
        {
            SqliteStatement sum(db, QStringLiteral("SELECT SUM(v) FROM t"), QStringLiteral("test"));
            const int rc = sum.step();
            if (rc != SQLITE_ROW)
                engine << QStringLiteral("error: ") + db.errorMessage();
            else
                engine << QString::number(sqlite3_column_double(sum.handle(), 0), 'g', 17);
        }
        SqliteStatement groups(db, QStringLiteral("SELECT orvalis_sommes(groupe, v) FROM t"), QStringLiteral("test"));
        QCOMPARE(groups.step(), SQLITE_ROW);
        const QByteArray blob(static_cast<const char *>(sqlite3_column_blob(groups.handle(), 0)),
                              sqlite3_column_bytes(groups.handle(), 0));
        const std::optional<QVector<GroupSums::Group>> decoded = GroupSums::decode(blob);
        QVERIFY(decoded);
        SumOfValues all;
        for (const GroupSums::Group &group : *decoded)
            all.merge(group.sum);
        const std::optional<double> result = all.result();
        if (first)
            ours = result;
        QCOMPARE(result.has_value(), ours.has_value()); // whatever the groups
        first = false;
    }
    QCOMPARE(ours.has_value(), told);
    if (ours) {
        // Every order gave the engine ours, but for what its rounding of
        // inexact values changes in the last bits.
        for (const QString &sum : std::as_const(engine)) {
            QVERIFY2(!sum.startsWith(QStringLiteral("error")), qPrintable(sum));
            QVERIFY2(close(sum.toDouble(), *ours), qPrintable(sum + QStringLiteral(" against ")
                                                                 + QString::number(*ours, 'g', 17)));
        }
    }
}

namespace {

// A small organisation with a refresh of every level done.
struct Refreshed
{
    TestDatabase file;
    TABSDatabase db;
    GroupedFigureSource source;
    DashboardSelection selection;

    Refreshed()
    {
        file.addLevel("N1", "Nord");
        file.addLevel("N2", "Sud");
        file.addAgency("A1", "Agence 1");
        file.addAgency("A2", "Agence 2");
        file.addUser("U1", "Alice");
        file.link("N1", "A1");
        file.link("N2", "A2");
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 5, 100, "A1", "U1");
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 5, 10, "A2", "U1");
        // Other months, for the spans and the comparisons.
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 4, 7, "A1", "U1");
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 1, 1, "A2", "U1");
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2023, 5, 3, "A1", "U1");
        file.addFact("MONTANT_DEVIS_VENTE_HT", 2023, 2, 20, "A2", "U1");
        db.SetDatabaseFileName(file.path());
        selection.admin = true;
        selection.year = 2024;
        selection.month = 5;
    }

    QStringList ht(const DashboardSelection &s)
    {
        QStringList out;
        buildDashboard(&db, s, source, [&out](const DashboardRow &row) { out << row.cells().at(1); });
        return out;
    }
    QStringList ht() { return ht(selection); }
};

} // namespace

void TestGrouped::choicesWithinTheMonthReadNoFacts()
{
    SKIP_ON_SERVER("on a server, any write in the cluster (other tests') starts a new read");
    Refreshed r;
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    QCOMPARE(r.source.passes(), 1);

    // Levels and agencies of levels: the month's sums by agency serve.
    StatementLog log(&r.db);
    DashboardSelection s = r.selection;
    s.levelIndex = 1;
    s.levelCode = QStringLiteral("N2");
    QCOMPARE(r.ht(s), QStringList{"10.00"});
    s.levelCode = QStringLiteral("N1");
    QCOMPARE(r.ht(s), QStringList{"100.00"});
    QCOMPARE(r.source.passes(), 1);
    for (const QString &statement : log.statements())
        QVERIFY2(!statement.contains(QStringLiteral("FROM data")), qPrintable(statement));

    // Users of an agency: sums by user of that agency, then any user of it.
    s.agencyIndex = 1;
    s.agencyCode = QStringLiteral("A1");
    QCOMPARE(r.ht(s), QStringList{"100.00"});
    QCOMPARE(r.source.passes(), 2);
    s.userIndex = 1;
    s.userCode = QStringLiteral("U1");
    QCOMPARE(r.ht(s), QStringList{"100.00"});
    s.userIndex = 0;
    QCOMPARE(r.ht(s), QStringList{"100.00"});
    // Back to the levels: still nothing to read.
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    QCOMPARE(r.source.passes(), 2);
    // Another agency's users are read for that agency alone.
    log.clear();
    s.agencyCode = QStringLiteral("A2");
    QCOMPARE(r.ht(s), QStringList{"10.00"});
    QCOMPARE(r.source.passes(), 3);
    QVERIFY2(log.statements().last().contains(QStringLiteral("AND dim_agence IN (?) AND code_account IN (")),
             qPrintable(log.statements().last()));

    // Another month or another supplier is another pass.
    s = r.selection;
    s.supplierCode = QStringLiteral("F1");
    QCOMPARE(r.ht(s), (QStringList{"100.00", "10.00"}));
    QCOMPARE(r.source.passes(), 4);
    s.month = 6;
    QCOMPARE(r.ht(s), (QStringList{"0.00", "0.00"}));
    QCOMPARE(r.source.passes(), 5);
}

// Going from the month to its comparison or to the year to date reads only
// the months not read yet; a view already shown reads none.
void TestGrouped::spansReadOnlyNewMonths()
{
    SKIP_ON_SERVER("on a server, any write in the cluster (other tests') starts a new read");
    Refreshed r;
    using C = PeriodChoice;
    const struct
    {
        C choice;
        const char *chosen, *compared;
        int monthsRead;
    } views[] = {
        {{C::Month, C::None}, "110.00", nullptr, 1},
        {{C::Month, C::PreviousMonth}, "110.00", "7.00", 2},
        {{C::Month, C::None}, "110.00", nullptr, 2},
        {{C::YearToDate, C::None}, "118.00", nullptr, 5},
        {{C::YearToDate, C::YearEarlier}, "118.00", "23.00", 10},
        {{C::Month, C::YearEarlier}, "110.00", "3.00", 10},
        {{C::Month, C::PreviousMonth}, "110.00", "7.00", 10},
    };
    for (const auto &view : views) {
        ComparedRow totals;
        buildComparedDashboard(&r.db, r.selection, view.choice, r.source, [](const ComparedRow &) {}, &totals);
        QCOMPARE(totals.chosen.cells().at(1), QString::fromLatin1(view.chosen));
        QCOMPARE(totals.compared ? totals.compared->cells().at(1) : QString(), QString::fromLatin1(view.compared));
        QCOMPARE(r.source.monthsRead(), view.monthsRead);
    }
}

// A write by another connection, or a connection closed and opened again,
// brings a new pass.
void TestGrouped::readsAgain_data()
{
    QTest::addColumn<bool>("reopen");
    QTest::newRow("write by another connection") << false;
    QTest::newRow("connection opened again") << true;
}

void TestGrouped::readsAgain()
{
    QFETCH(bool, reopen);
    Refreshed r;
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    if (reopen)
        r.db.close();
    r.file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 5, 1000, "A2", "U1");
    QCOMPARE(r.ht(), (QStringList{"100.00", "1010.00"}));
    QCOMPARE(r.source.passes(), 2);
}

void TestGrouped::linksReadAtEveryRefresh()
{
    SKIP_ON_SERVER("on a server, the program's own writes start a new read too");
    Refreshed r;
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    // The program's own connection links A2 to N1 too: that connection's
    // writes do not change what it reads as the data version.
    TABSQuery insert(&r.db);
    insert.SetDatabaseName(r.db.DatabaseName());
    insert.SQL().append(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES ('N1', 'A2')"));
    insert.ExecSQL();
    QCOMPARE(r.ht(), (QStringList{"110.00", "10.00"}));
    QCOMPARE(r.source.passes(), 1);
}

// Passes are kept for a few months; the one read longest ago without use
// goes first.
void TestGrouped::lastUsedPassesStay()
{
    SKIP_ON_SERVER("on a server, any write in the cluster (other tests') starts a new read");
    Refreshed r;
    auto month = [&r](int m) {
        DashboardSelection s = r.selection;
        s.year = 2023 + m / 12;
        s.month = m % 12 + 1;
        return r.ht(s);
    };
    // Eight months, the first used again in between.
    for (int m = 0; m < 8; ++m) {
        month(m);
        month(0);
    }
    QCOMPARE(r.source.passes(), 8);
    // A ninth: the second month goes, not the first.
    month(8);
    QCOMPARE(r.source.passes(), 9);
    month(0);
    QCOMPARE(r.source.passes(), 9);
    month(1);
    QCOMPARE(r.source.passes(), 10);
}

QTEST_MAIN(TestGrouped)
#include "tst_grouped.moc"
