// orvalis_test_writer: another process writing the fact table while the
// tests read it, as the process that fills it does.
//
//   orvalis_test_writer balanced|moving DATABASE STOPFILE YEAR MONTH
//       Until STOPFILE exists, small transactions of two inserts: a value
//       and its opposite on one combination of the month (balanced), or an
//       amount moved from its last combination to its first (moving).
//       Prints "started" after the first commit, "commits N" at the end.
//   orvalis_test_writer hold DATABASE MILLISECONDS YEAR MONTH
//       Holds the write lock of the fact table that long with 1000 added to
//       the first combination's amount; prints "locked", then "committed".
//
// Values are quarters, so that sums of them are exact whatever their order.
#include "store/dberror.h"
#include "store/schema.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

struct Combination
{
    QString agency;
    QString user;
    QString supplier;
};

QList<Combination> combinations(TABSDatabase &db, int year, int month)
{
    TABSQuery query(&db);
    query.SQL() << QStringLiteral("SELECT DISTINCT dim_agence, dim_utilisateur, dim_fournisseur FROM data "
                                  "WHERE period_year = %1 AND period_month = %2 "
                                  "ORDER BY dim_agence, dim_utilisateur, dim_fournisseur")
                       .arg(year)
                       .arg(month);
    query.Open();
    QList<Combination> out;
    for (; !query.Eof(); query.Next())
        out << Combination{query.FieldByName(QStringLiteral("dim_agence")).AsString(),
                           query.FieldByName(QStringLiteral("dim_utilisateur")).AsString(),
                           query.FieldByName(QStringLiteral("dim_fournisseur")).AsString()};
    if (out.isEmpty())
        throw EDatabaseError(QStringLiteral("no facts in %1-%2").arg(year).arg(month));
    return out;
}

QString insert(const QString &account, int year, int month, double value, const Combination &c)
{
    return QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                          "dim_utilisateur, dim_fournisseur, dim_dossier) VALUES ('%1', %2, %3, %4, '%5', '%6', "
                          "'%7', 'ECRITURE')")
        .arg(sqlEscape(account))
        .arg(year)
        .arg(month)
        .arg(value, 0, 'f', 2)
        .arg(sqlEscape(c.agency), sqlEscape(c.user), sqlEscape(c.supplier));
}

void run(TABSDatabase &db, const QString &sql)
{
    TABSQuery query(&db);
    query.SQL() << sql;
    query.ExecSQL();
}

int writeUntilStopped(TABSDatabase &db, bool moving, const QString &stopFile, int year, int month)
{
    const QList<Combination> all = combinations(db, year, month);
    // Moving: the amounts only, whose sums add up across rows.
    const QStringList accounts = moving ? Schema::accountCodes().mid(0, 3) : Schema::accountCodes();
    QTextStream out(stdout);
    qint64 commits = 0;
    for (int i = 0; !QFile::exists(stopFile); ++i) {
        const Combination &to = moving ? all.first() : all.at(i % all.size());
        const Combination &from = moving ? all.last() : to;
        const QString &account = accounts.at(i % accounts.size());
        const double value = 0.25 * (1 + i % 37);
        {
            TWriteTransaction transaction(&db);
            run(db, insert(account, year, month, value, to));
            run(db, insert(account, year, month, -value, from));
            transaction.commit();
        }
        if (++commits == 1)
            out << "started" << Qt::endl;
        // A breath between transactions, as a filling process takes.
        QThread::msleep(10);
    }
    out << "commits " << commits << Qt::endl;
    return 0;
}

void exec(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw EDatabaseError(sql + QStringLiteral(": ") + query.lastError().text());
}

int hold(TABSDatabase &db, int milliseconds, int year, int month)
{
    const Combination first = combinations(db, year, month).first();
    QSqlDatabase connection = db.connection();
    if (db.isServer()) {
        exec(connection, QStringLiteral("BEGIN"));
        exec(connection, QStringLiteral("LOCK TABLE data IN ACCESS EXCLUSIVE MODE"));
    } else {
        exec(connection, QStringLiteral("BEGIN EXCLUSIVE"));
    }
    exec(connection, insert(QStringLiteral("MONTANT_DEVIS_VENTE_HT"), year, month, 1000, first));
    QTextStream out(stdout);
    out << "locked" << Qt::endl;
    QThread::msleep(milliseconds);
    exec(connection, QStringLiteral("COMMIT"));
    out << "committed" << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QStringList modes{QStringLiteral("balanced"), QStringLiteral("moving"), QStringLiteral("hold")};
    if (args.size() != 6 || !modes.contains(args.at(1))) {
        std::fprintf(stderr, "usage: orvalis_test_writer balanced|moving|hold DATABASE STOPFILE|MILLISECONDS YEAR "
                             "MONTH\n");
        return 2;
    }
    try {
        TABSDatabase db;
        db.SetDatabaseFileName(args.at(2));
        const int year = args.at(4).toInt();
        const int month = args.at(5).toInt();
        if (args.at(1) == QLatin1String("hold"))
            return hold(db, args.at(3).toInt(), year, month);
        return writeUntilStopped(db, args.at(1) == QLatin1String("moving"), args.at(3), year, month);
    } catch (const EDatabaseError &e) {
        QTextStream(stderr) << e.message() << Qt::endl;
        return 1;
    }
}
