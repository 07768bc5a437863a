#pragma once

#include "store/dberror.h"

#include <QList>
#include <QString>

// A line of the file that cannot be imported: where, what, why (French).
struct ImportProblem
{
    qint64 line = 0;   // the line of the file where the record starts (the header is line 1)
    QString column;    // the column's header as written in the file; empty for the whole line
    QString value;
    QString reason;

    QString text() const;
};

// What an import did, or why it wrote nothing.
struct ImportReport
{
    QString file;
    qint64 lines = 0;     // records read, blank ones left out
    qint64 facts = 0;     // fact rows written
    qint64 replaced = 0;  // fact rows of the file's months deleted first (--remplacer)
    QList<int> months;    // the file's months (year * 12 + month - 1), in order
    int newAgencies = 0;
    int newUsers = 0;
    int newSuppliers = 0;

    // The first MaxProblems bad lines, and how many there were in all.
    QList<ImportProblem> problems;
    qint64 problemCount = 0;
    // Months of the file that already hold facts in the database (without
    // replacing): the file is refused.
    QList<int> heldMonths;

    bool written() const { return problemCount == 0 && heldMonths.isEmpty(); }
    // The closing line of a successful import, or the refusal, in French.
    QString text() const;
};

// Imports a spreadsheet's CSV export into the fact table: each line holds a
// month, an agency, a user, a supplier (an optional quote file, optional
// labels that create the agencies, users and suppliers the database lacks)
// and figures, one column per account or a column of account codes and one
// of values. The file is read once, as a stream; its lines are checked and
// written in one transaction, which is committed only when every line was
// read and no month of the file already held facts (or they were to be
// replaced): otherwise nothing is written.
//
// `database` is a SQLite file with the six tables or a PostgreSQL URI.
// Raises EDatabaseError (French) when the file or the database cannot be
// used at all: missing file, unusable header, engine error.
class FactImport
{
public:
    FactImport(QString database, QString file, bool replace);

    ImportReport run();

    static constexpr int MaxProblems = 50;

private:
    QString m_database;
    QString m_file;
    bool m_replace;
};
