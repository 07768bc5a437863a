// The grouped figures against the statement-per-figure path on random
// organisations, and when the grouped source reads the facts again.
#include "support/testsupport.h"

#include "dashboard/dashboardfigures.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "store/schema.h"
#include "store/tabsquery.h"
#include "store/taccount.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

namespace {

struct Month
{
    int year;
    int month;
};

// A small organisation drawn at random, with every awkward case the
// account statement has a meaning for: codes with quotes and accents, empty
// codes, NULL dimensions, duplicate links, an agency in two levels, agencies
// in none, a level without links, a level with an empty code, facts of an
// account the table does not read, several months.
struct RandomOrganisation
{
    QStringList agencies;  // codes of dim_agence
    QStringList users;     // codes of dim_utilisateur
    QStringList suppliers; // codes of dim_fournisseur
    QStringList levels;    // codes of dim_niveau
    QList<Month> months;   // months with facts
    QList<QPair<QString, QString>> agencyUsers; // (agency, user) pairs with facts

    RandomOrganisation(TestDatabase &db, quint32 seed);
};

RandomOrganisation::RandomOrganisation(TestDatabase &db, quint32 seed)
{
    QRandomGenerator random(seed);
    auto pick = [&random](const QVariantList &from) { return from.at(random.bounded(int(from.size()))); };

    agencies = {"A1", "A'2", "Agence-Évry", "", "Ö'B\"3", "x' OR '1'='1", "A7"};
    users = {"U1", "U'2", "Zoé", "", "U5", "d'Artagnan", "U7", "U8"};
    suppliers = {"F1", "F'2", "", "Fé"};
    levels = {"U1", "U'2", "", "Zoé", "U5", "VIDE"};

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
        QVariant value;
        const int draw = random.bounded(100);
        if (draw < 3) {
            value = QVariant(); // NULL
        } else if (kind >= 3 || kind < 0) {
            // Counts: whole numbers, now and then a fraction that truncation
            // cuts; all exact in binary, so their sums do not depend on the
            // order of the additions.
            const double counts[] = {0, 1, 2, 3, 5, -1, 2.75, -2.75, 0.5, 1.25};
            value = counts[random.bounded(10)];
        } else {
            // Amounts in cents, negative ones included.
            value = double(random.bounded(-50000, 500000)) / 100.0;
        }
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

QList<DashboardRow> build(TABSDatabase &db, const DashboardSelection &selection, FigureSource &source)
{
    QList<DashboardRow> rows;
    buildDashboard(&db, selection, source, [&rows](const DashboardRow &row) { rows << row; });
    return rows;
}

// Equal but for the last bits a different order of additions may change.
bool close(double a, double b)
{
    return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

QString differences(const QList<DashboardRow> &expected, const QList<DashboardRow> &actual)
{
    if (expected.size() != actual.size())
        return QStringLiteral("%1 rows instead of %2").arg(actual.size()).arg(expected.size());
    for (int r = 0; r < expected.size(); ++r) {
        const DashboardRow &e = expected.at(r);
        const DashboardRow &a = actual.at(r);
        if (e.code != a.code || e.cells() != a.cells())
            return QStringLiteral("row %1: [%2] instead of [%3]")
                .arg(r)
                .arg(a.cells().join(QLatin1Char('|')), e.cells().join(QLatin1Char('|')));
        const double ev[] = {e.HT, e.TVA, e.TTC, e.Marge, e.MargePct, e.Transformation};
        const double av[] = {a.HT, a.TVA, a.TTC, a.Marge, a.MargePct, a.Transformation};
        for (int i = 0; i < 6; ++i)
            if (!close(ev[i], av[i]))
                return QStringLiteral("row %1, value %2: %3 instead of %4").arg(r).arg(i).arg(av[i], 0, 'g', 17).arg(ev[i], 0, 'g', 17);
        if (e.NbRelances != a.NbRelances || e.NbDevis != a.NbDevis || e.NbCommandes != a.NbCommandes)
            return QStringLiteral("row %1: counts differ").arg(r);
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

} // namespace

class TestGrouped : public QObject
{
    Q_OBJECT

private slots:
    void sameTable_data();
    void sameTable();
    void sameFiguresForAnyRequest_data();
    void sameFiguresForAnyRequest();
    void passStatement();
    void choicesWithinTheMonthReadNoFacts();
    void writeByAnotherConnectionReadsAgain();
    void linksReadAtEveryRefresh();
    void reopenedConnectionReadsAgain();
};

void TestGrouped::sameTable_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<bool>("index");
    for (quint32 seed = 1; seed <= 3; ++seed)
        QTest::addRow("seed %u%s", seed, seed % 2 ? "" : ", indexed") << seed << (seed % 2 == 0);
}

void TestGrouped::sameTable()
{
    QFETCH(quint32, seed);
    QFETCH(bool, index);

    TestDatabase file;
    const RandomOrganisation org(file, seed);
    if (index)
        file.exec(Schema::recommendedIndex());
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
    int tables = 0, rows = 0;
    for (const Month &month : months) {
        for (const QString &supplier : suppliers) {
            for (const DashboardSelection &selection : selections(org, month, supplier)) {
                PerFigureSource reference;
                const QList<DashboardRow> expected = build(db, selection, reference);
                GroupedFigureSource fresh;
                const QString freshDiff = differences(expected, build(db, selection, fresh));
                QVERIFY2(freshDiff.isEmpty(), qPrintable(describe(selection) + QStringLiteral(": ") + freshDiff));
                QCOMPARE(fresh.passes(), 1);
                const QString keptDiff = differences(expected, build(db, selection, kept));
                QVERIFY2(keptDiff.isEmpty(), qPrintable(describe(selection) + QStringLiteral(" (kept): ") + keptDiff));
                ++tables;
                for (const DashboardRow &row : expected)
                    if (row.HT != 0 || row.NbDevis != 0)
                        ++rows;
            }
        }
    }
    // The kept source read the facts for fewer tables than it built (a
    // server is read afresh at every refresh).
    if (!TestDatabase::onServer())
        QVERIFY2(kept.passes() < tables, qPrintable(QString::number(kept.passes())));
    // The random organisation did produce figures worth comparing.
    qDebug("%d tables, %d rows with figures", tables, rows);
    QVERIFY(rows > tables / 3);
}

void TestGrouped::sameFiguresForAnyRequest_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 11; seed <= 13; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

// Requests a refresh never makes (a supplier filter with an empty code, a
// user without an agency, a level and an agency together...) mean the same
// on both paths.
void TestGrouped::sameFiguresForAnyRequest()
{
    QFETCH(quint32, seed);
    TestDatabase file;
    const RandomOrganisation org(file, seed);
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
        const AccountSums e = reference.figures(request);
        const AccountSums a = grouped.figures(copy);
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

void TestGrouped::passStatement()
{
    GroupedFigureSource::Scope scope;
    scope.year = 2024;
    scope.month = 7;
    QCOMPARE(GroupedFigureSource::passStatement(scope),
             QStringLiteral("SELECT dim_agence, code_account, SUM(valeur) AS somme FROM data"
                            " WHERE period_year = 2024 AND period_month = 7"
                            " GROUP BY dim_agence, code_account"));
    scope.supplier = QStringLiteral("F'1");
    scope.agency = QString();
    scope.byUser = true;
    const QString restricted = GroupedFigureSource::passStatement(scope);
    QVERIFY(restricted.startsWith(QStringLiteral("SELECT dim_agence, code_account, dim_utilisateur, SUM(valeur)")));
    QVERIFY(restricted.endsWith(QStringLiteral(" AND dim_fournisseur = 'F''1' AND dim_agence = ''"
                                               " GROUP BY dim_agence, code_account, dim_utilisateur")));
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
    SKIP_ON_SERVER("the month's sums are kept between refreshes only on a database file");
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
    QVERIFY(log.statements().last().contains(QStringLiteral("AND dim_agence = 'A2' GROUP BY")));

    // Another month or another supplier is another pass.
    s = r.selection;
    s.supplierCode = QStringLiteral("F1");
    QCOMPARE(r.ht(s), (QStringList{"100.00", "10.00"}));
    QCOMPARE(r.source.passes(), 4);
    s.month = 6;
    QCOMPARE(r.ht(s), (QStringList{"0.00", "0.00"}));
    QCOMPARE(r.source.passes(), 5);
}

void TestGrouped::writeByAnotherConnectionReadsAgain()
{
    Refreshed r;
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    r.file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 5, 1000, "A1", "U1");
    QCOMPARE(r.ht(), (QStringList{"1100.00", "10.00"}));
    QCOMPARE(r.source.passes(), 2);
}

void TestGrouped::linksReadAtEveryRefresh()
{
    SKIP_ON_SERVER("the month's sums are kept between refreshes only on a database file");
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

void TestGrouped::reopenedConnectionReadsAgain()
{
    Refreshed r;
    QCOMPARE(r.ht(), (QStringList{"100.00", "10.00"}));
    r.db.close();
    r.file.addFact("MONTANT_DEVIS_VENTE_HT", 2024, 5, 1000, "A2", "U1");
    QCOMPARE(r.ht(), (QStringList{"100.00", "1010.00"}));
    QCOMPARE(r.source.passes(), 2);
}

QTEST_MAIN(TestGrouped)
#include "tst_grouped.moc"
