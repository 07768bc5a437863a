// orvalis-import: spreadsheets' CSV files into the fact table, on a file and
// on a server (tst_import_pg).
#include "tools/import/factimport.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QStringEncoder>
#include <QtTest>

namespace {

// Lines joined with CRLF, as a spreadsheet on Windows saves them.
QByteArray csvFile(const QStringList &lines, const QString &encoding)
{
    const QString text = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    if (encoding == QLatin1String("windows-1252"))
        return QStringEncoder("windows-1252").encode(text);
    return (encoding == QLatin1String("utf-8 bom") ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + text.toUtf8();
}

// What the database holds, to tell that nothing changed: the file's bytes,
// or on a server its rows.
QByteArray state(TestDatabase &db)
{
    if (!db.isServer())
        return QCryptographicHash::hash(readFile(db.path()), QCryptographicHash::Sha256);
    QByteArray rows;
    for (const char *table : {"data", "dim_agence", "dim_utilisateur", "dim_fournisseur"})
        for (const QVariantList &row : db.rows(QStringLiteral("SELECT * FROM %1 ORDER BY 1, 2").arg(QLatin1String(table))))
            for (const QVariant &value : row)
                rows += value.toString().toUtf8() + '|';
    return rows;
}

double sum(TestDatabase &db, const QString &account, int month)
{
    return db.scalar(QStringLiteral("SELECT sum(valeur) FROM data WHERE code_account = '%1' AND period_year = 2026 "
                                    "AND period_month = %2").arg(account).arg(month)).toDouble();
}

const QString label = QStringLiteral("Agence d'Évry « Zoé » Œuvre €");

} // namespace

class TestImport : public QObject
{
    Q_OBJECT
private slots:
    void layouts_data();
    void layouts();
    void badLines_data();
    void badLines();
    void monthsAlreadyThere();
    void readerRefused();
    void tool();
};

void TestImport::layouts_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("encoding");
    for (const QString &encoding : {QStringLiteral("utf-8"), QStringLiteral("utf-8 bom"), QStringLiteral("windows-1252")}) {
        for (const bool semicolon : {true, false}) {
            const QString s = semicolon ? QStringLiteral(";") : QStringLiteral(",");
            // "1 234,56" or 1234.56; the label quoted, it holds a quote.
            const QString ht = semicolon ? QStringLiteral("1 234,56") : QStringLiteral("1234.56");
            const QString tva = semicolon ? QStringLiteral("246,9") : QStringLiteral("246.9");
            const QString quoted = QStringLiteral("\"%1\"\"\"").arg(label); // ends with a quote
            const QString name = encoding + (semicolon ? QStringLiteral(", ;") : QStringLiteral(", ,"));
            QTest::newRow(qPrintable(name + QStringLiteral(", captions")))
                << QStringList{QStringList{"MOIS", "Agence", "Agence_Libellé", "utilisateur", "fournisseur",
                                           "Utilisateur libelle", "Fournisseur_Libelle", "Montant HT", "tva", "Marge €",
                                           "Nb Relance(s)", "Nb Devis", "nb commandes"}.join(s),
                               QStringList{"09/2026", "A1", quoted, "U1", "F1", "Zoé", "Fourn", "\"" + ht + "\"",
                                           tva, "0", "2", "3", "1"}.join(s),
                               QStringList{"10/2026", "A1", "", "U1", "F1", "", "", "100", "", "", "", "", ""}.join(s)}
                << encoding;
            QTest::newRow(qPrintable(name + QStringLiteral(", account codes")))
                << QStringList{QStringList{"Fournisseur", "mois", "agence", "utilisateur", "AGENCE_LIBELLE",
                                           "utilisateur_libelle", "fournisseur_libelle", "MONTANT_DEVIS_VENTE_HT",
                                           "MONTANT_DEVIS_TVA", "NB_RELANCES", "NB_DOSSIERS_TRAITES",
                                           "NB_COMMANDES_TRAITES", "MARGE_DEVIS_VENTE_HT"}.join(s),
                               QStringList{"F1", "2026-09", "A1", "U1", quoted, "Zoé", "Fourn", "\"" + ht + "\"", tva,
                                           "2", "3", "1", "0"}.join(s),
                               QStringList{"F1", "2026-10", "A1", "U1", "", "", "", "100", "", "", "", "", ""}.join(s)}
                << encoding;
            QTest::newRow(qPrintable(name + QStringLiteral(", compte and valeur")))
                << QStringList{QStringList{"Année", "mois", "agence", "utilisateur", "fournisseur", "agence_libelle",
                                           "utilisateur_libelle", "fournisseur_libelle", "compte", "valeur"}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", quoted, "Zoé", "Fourn", "Montant HT", "\"" + ht + "\""}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", "", "", "", "MONTANT_DEVIS_TVA", tva}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", "", "", "", "Marge €", "0"}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", "", "", "", "nb relance(s)", "2"}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", "", "", "", "Nb Devis", "3"}.join(s),
                               QStringList{"2026", "9", "A1", "U1", "F1", "", "", "", "Nb Commandes", "1"}.join(s),
                               QStringList{"2026", "10", "A1", "U1", "F1", "", "", "", "Montant HT", "100"}.join(s)}
                << encoding;
        }
    }
}

void TestImport::layouts()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, encoding);
    TestDatabase db;
    const QString file = db.folder() + QStringLiteral("/chiffres.csv");
    writeFile(file, csvFile(lines, encoding));

    const ImportReport report = FactImport(db.path(), file, false).run();
    QVERIFY2(report.written(), qPrintable(report.text()));
    QCOMPARE(report.facts, 7);
    QCOMPARE(report.months, (QList<int>{2026 * 12 + 8, 2026 * 12 + 9}));
    QCOMPARE(report.newAgencies + report.newUsers + report.newSuppliers, 3);
    QCOMPARE(db.scalar(QStringLiteral("SELECT libelle FROM dim_agence WHERE code = 'A1'")).toString(), label + '"');
    QCOMPARE(db.scalar(QStringLiteral("SELECT libelle FROM dim_utilisateur WHERE code = 'U1'")).toString(), QStringLiteral("Zoé"));
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 9), 1234.56);
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_TVA"), 9), 246.9);
    QCOMPARE(sum(db, QStringLiteral("NB_DOSSIERS_TRAITES"), 9), 3.0);
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 10), 100.0);
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM data WHERE period_month = 10")).toInt(), 1);
}

void TestImport::badLines_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("header");   // another file: this header, then the bad line
    const auto row = [](const char *name, const QByteArray &bad, const char *column, const char *reason,
                        const QByteArray &header = {}) {
        QTest::newRow(name) << bad << QString::fromUtf8(column) << QString::fromUtf8(reason) << header;
    };
    const QByteArray month = "09/2026;";
    row("fields", month + "A1;U1;F1;;1", "", "6 champ(s) au lieu de 7");
    row("month", "2026-13;A1;U1;F1;;1;2", "mois", "mois invalide");
    row("empty code", month + " ;U1;F1;;1;2", "agence", "code vide");
    row("unknown code", month + "A1;U9;F1;;1;2", "utilisateur", "utilisateur inconnu");
    row("new code, no label", month + "A1;U1;F9;;1;2", "fournisseur_libelle", "libellé vide");
    row("not a number", month + "A1;U1;F1;;NaN;2", "Montant HT", "n'est pas un nombre");
    row("two signs", month + "A1;U1;F1;;+-5;2", "Montant HT", "n'est pas un nombre");
    row("count not whole", month + "A1;U1;F1;;1;2,5", "Nb Devis", "nombre entier");
    row("not UTF-8", month + "A1;U1;F1;\xE9t\xE9;1;2", "", "texte illisible");
    row("NUL", month + QByteArray("A1;U1;F1;;1;2\0", 14), "", "caractère nul");
    row("open quote", month + "A1;\"U1;F1;;1;2", "", "guillemet");
    const QByteArray accounts = "annee;mois;agence;utilisateur;fournisseur;compte;valeur";
    row("year", "26;9;A1;U1;F1;TVA;1", "annee", "année invalide", accounts);
    row("account", "2026;9;A1;U1;F1;Montant;1", "compte", "compte inconnu", accounts);
    row("count too large", month + "A1;U1;F1;;1;1e17", "Nb Devis", "trop grand");
    // Codes that look like another: a no-break space, a zero-width space.
    row("no-break space", month + "A1;U1;F9\xC2\xA0;Zo\xC3\xA9;1;2", "fournisseur", "caractère invisible");
    row("zero-width space", month + "A\xE2\x80\x8B" "1;U1;F1;;1;2", "agence", "caractère invisible");
    row("UTF-8 after Windows-1252", "09/2026;A1;U1;F9;Zo\xC3\xA9;1",
        "", "texte en UTF-8", "mois;agence;utilisateur;fournisseur;fournisseur_libelle;Montant HT\n09/2026;A1;U1;F2;Zo\xE9;1");
    row("unnamed column", "09/2026;A1;U1;F1;1;x", "", "colonne sans nom", "mois;agence;utilisateur;fournisseur;Montant HT;");
}

// A bad line, the last one: every line is still checked, nothing is written.
void TestImport::badLines()
{
    QFETCH(QByteArray, bad);
    QFETCH(QString, column);
    QFETCH(QString, reason);
    QFETCH(QByteArray, header);
    TestDatabase db;
    db.addAgency(QStringLiteral("A1"), QStringLiteral("Agence"));
    db.addUser(QStringLiteral("U1"), QStringLiteral("Utilisateur"));
    db.addSupplier(QStringLiteral("F1"), QStringLiteral("Fournisseur"));
    db.closeConnection();
    const QByteArray before = state(db);
    const QString file = db.folder() + QStringLiteral("/chiffres.csv");
    const QByteArray before_bad = header.isEmpty() ? QByteArray("mois;agence;utilisateur;fournisseur;fournisseur_libelle;"
                                                                "Montant HT;Nb Devis\n"
                                                                "09/2026;A1;U1;F1;;1;2\n"
                                                                "09/2026;A1;U1;F2;Fournisseur Zo\xC3\xA9;1;2\n")
                                                   : header + '\n';
    writeFile(file, before_bad + bad + "\n");

    const ImportReport report = FactImport(db.path(), file, false).run();
    QCOMPARE(report.problemCount, 1);
    QCOMPARE(report.problems.size(), 1);
    QCOMPARE(report.problems[0].line, before_bad.count('\n') + 1);
    QCOMPARE(report.problems[0].column, column);
    QVERIFY2(report.problems[0].reason.contains(reason), qPrintable(report.problems[0].text()));
    QVERIFY(report.text().contains(QStringLiteral("rien n'a été écrit")));
    QCOMPARE(state(db), before);
}

void TestImport::monthsAlreadyThere()
{
    TestDatabase db;
    db.addAgency(QStringLiteral("A1"), QStringLiteral("Agence"));
    db.addUser(QStringLiteral("U1"), QStringLiteral("Utilisateur"));
    db.addUser(QStringLiteral("U2"), QStringLiteral("Utilisatrice"));
    db.addSupplier(QStringLiteral("F1"), QStringLiteral("Fournisseur"));
    db.addFact(QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 2026, 8, 5.0, QStringLiteral("A1"), QStringLiteral("U1"));
    const QString file = db.folder() + QStringLiteral("/chiffres.csv");
    writeFile(file, "mois;agence;utilisateur;fournisseur;Montant HT\n2026-09;A1;U1;F1;10\n2026-10;A1;U1;F1;20\n");
    QVERIFY(FactImport(db.path(), file, false).run().written());

    // The same months again, one changed: refused, then replaced.
    writeFile(file, "mois;agence;utilisateur;fournisseur;Montant HT\n2026-10;A1;U1;F1;7\n2026-11;A1;U2;F1;1\n"
                    "2026-09;A1;U1;F1;30\n");
    db.closeConnection();
    const QByteArray before = state(db);
    const ImportReport refused = FactImport(db.path(), file, false).run();
    QCOMPARE(refused.heldMonths, (QList<int>{2026 * 12 + 9, 2026 * 12 + 8}));
    QVERIFY2(refused.text().contains(QStringLiteral("10/2026, 09/2026")), qPrintable(refused.text()));
    QCOMPARE(state(db), before);

    QVERIFY(FactImport(db.path(), file, true).run().written());
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 8), 5.0);
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 9), 30.0);
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 10), 7.0);
    QCOMPARE(sum(db, QStringLiteral("MONTANT_DEVIS_VENTE_HT"), 11), 1.0);
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM data")).toInt(), 4);
    QCOMPARE(db.scalar(QStringLiteral("SELECT dim_utilisateur FROM data WHERE period_month = 11")).toString(),
             QStringLiteral("U2"));
}

// A role that reads the tables may not import: the server refuses it, the
// message says so, nothing is written.
void TestImport::readerRefused()
{
    SKIP_ON_FILE("roles of a server");
    TestDatabase db;
    TestRole reader(db, QStringLiteral("lecteur"),
                    {QStringLiteral("GRANT SELECT ON data, dim_agence, dim_utilisateur, dim_fournisseur TO %1")});
    const QString file = db.folder() + QStringLiteral("/chiffres.csv");
    writeFile(file, "mois;agence;utilisateur;fournisseur;agence_libelle;utilisateur_libelle;fournisseur_libelle;TVA\n"
                    "2026-09;A1;U1;F1;a;u;f;10\n");
    try {
        FactImport(reader.uri(), file, false).run();
        QFAIL("a reader imported facts");
    } catch (const EDatabaseError &e) {
        QVERIFY2(e.message().contains(QStringLiteral("refuse l'import")), qPrintable(e.message()));
    }
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM dim_agence")).toInt(), 0);
}

// The tool: its exit statuses and its closing line.
void TestImport::tool()
{
    TestDatabase db;
    const QString file = db.folder() + QStringLiteral("/chiffres.csv");
    writeFile(file, "mois,agence,utilisateur,fournisseur,agence_libelle,utilisateur_libelle,fournisseur_libelle,TVA\n"
                    "2026-09,A1,U1,F1,a,u,f,10.5\n");
    const auto run = [](const QStringList &arguments, QByteArray *out = nullptr) {
        QProcess process;
        process.start(QStringLiteral(ORVALIS_IMPORT_TOOL), arguments);
        process.waitForFinished(60000);
        if (out)
            *out = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };
    QByteArray out;
    QCOMPARE(run({db.path()}), 2);
    QCOMPARE(run({db.path(), file}, &out), 0);
    QVERIFY2(out.contains("1 ligne, 1 fait écrit, 1 mois (09/2026)"), out.constData());
    QCOMPARE(run({db.path(), file}, &out), 1);
    QVERIFY2(out.contains("déjà des faits de 09/2026"), out.constData());
    QCOMPARE(run({db.path(), file, QStringLiteral("--remplacer")}), 0);

    // The README's example, into a database with the tables alone.
    TestDatabase shipped;
    QCOMPARE(run({shipped.path(), QStringLiteral(ORVALIS_SOURCE_DIR "/deploy/exemple-import.csv")}, &out), 0);
    QVERIFY2(out.contains("36 lignes, 216 faits écrits, 12 mois"), out.constData());
}

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"
