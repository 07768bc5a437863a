#pragma once

#include "dashboard/dashboardfigures.h"
#include "store/boundstatement.h"
#include "store/groupsums.h"

#include <QHash>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>
#include <vector>

// Every figure of a refresh from one grouped pass over the month's facts.
//
// prepare() sums the month once, by account and agency (and by user where
// rows stand for users), and figures() puts those sums together in memory,
// with exactly the meaning of the account statement (TAccountSQL): a level
// stands for the agencies linked to it, a level with an empty code
// restricts nothing, NULL never equals a code, the empty code equals only
// the empty text. A figure whose value only the engine can tell (an
// integer sum that may leave 64 bits, doubles that may overflow either
// way) is read with its own account statement.
//
// How a SQLite file is read depends on its indexes (Reading):
// - when an index starts with the month, the agency and the account, in
//   any order, and holds `valeur`, each agency and account of the month is
//   one range of it: one statement sums the ranges one after the other, in
//   the index's order, reading nothing but those ranges;
// - otherwise one aggregate of the program's own (GroupSums) sums the
//   month's rows by agency and account as they come, without sorting them.
// On a server it is a GROUP BY.
//
// The sums are kept, month by month, for the next refreshes of the same
// supplier as long as the database shows that nothing was written to it
// since: a change of level, or of user within an agency, then reads only
// the links, and a span or a comparison reads only the months not read yet.
// A file tells it by its data version; a server, by its snapshot (no
// transaction that wrote ended since).
class GroupedFigureSource : public FigureSource
{
public:
    void prepare(TABSDatabase *db, const DashboardSelection &selection, int drill) override;
    // One pass for the tables of every month from `months` (consecutive
    // months, in either order).
    void prepareMonths(TABSDatabase *db, const DashboardSelection &selection, int drill,
                       const QVector<Period> &months) override;
    AccountSums figures(TAccount &request) override;
    // From the pass already made: the sums of the agencies (and users) the
    // rows cover, each group once. What only the engine can tell is read
    // with the totals' own statement.
    AccountSums totals(TABSDatabase *db, const DashboardSelection &selection, const TotalsScope &scope) override;

    // Passes over the fact table run so far by this source.
    int passes() const { return m_passes; }
    // Months those passes read, each month of each pass once.
    int monthsRead() const { return m_monthsRead; }
    // Figures read with their own account statement so far.
    int figureStatements() const { return m_figureStatements; }

    // What one pass covers: `months` consecutive months from year/month
    // (or only some of them), the supplier when the supplier filter is on,
    // the agencies (every agency, NULL included, when there is no list);
    // sums by agency, or by agency and user.
    struct Scope
    {
        int year = 0;
        int month = 0;
        int months = 1;
        QVector<int> only; // when not empty: the months read, counted from the first, ascending
        std::optional<QString> supplier;
        std::optional<QStringList> agencies; // sorted, each once
        bool byUser = false;
    };
    // How the engine is asked: by ranges of an index (the order of its
    // columns among "mois", "dim_agence" and "code_account"), by one
    // aggregate over the rows, or on a server.
    struct Reading
    {
        enum Kind { Ranges, Rows, Server } kind = Rows;
        QStringList order;
    };
    static BoundStatement passStatement(const Scope &scope, const Reading &reading);
    static QString linksStatement();
    static QString indexesStatement();
    // The order of the ranges an index of these key columns (with their
    // collations) and these columns gives, if it has them.
    static std::optional<QStringList> rangeOrder(const QStringList &keys, const QStringList &collations,
                                                 const QStringList &columns, bool supplier);

private:
    static constexpr int Null = -1;     // a NULL agency or user (or not a text)
    static constexpr int AnyUser = -3;  // sums of every user of the agency

    struct Group
    {
        int month;  // months after the scope's first
        int agency;
        int user;
        SumOfValues sums[6];
    };
    struct Pass
    {
        Scope scope;
        QVector<Group> groups; // in the order the engine gave them
        QHash<QString, int> agencies;
        QHash<QString, int> users;
        QSet<QString> agencySet; // the scope's agencies, when it has a list
    };
    class GroupIndex
    {
    public:
        int of(Pass &pass, int month, int agency, int user);

    private:
        using Key = QPair<int, QPair<int, int>>;
        QHash<Key, int> m_index;
    };
    struct Index
    {
        QStringList keys;
        QStringList collations;
        QStringList columns;
        bool partial = false;
    };

    static bool coversMonths(const Scope &pass, const Scope &wanted);
    static bool covers(const Pass &pass, const Scope &wanted);
    Scope scopeFor(const DashboardSelection &selection, int drill);
    const Pass &passFor(const Scope &wanted);
    Reading readingFor(const Scope &scope);
    static const Pass *keptMonth(const std::vector<Pass> &kept, const Pass &pass, int month);
    static void copyMonth(const Pass &from, Pass &to, int month);
    void readFileGroups(Pass &pass, const Scope &read, const Reading &reading);
    void readServerGroups(Pass &pass, const Scope &read);
    void forgetIfChanged();
    QString dataVersion();
    void readLinks();
    const QStringList &levelAgencies(const QString &level);
    QStringList linkedAgencies();
    void start(TABSDatabase *db);

    TABSDatabase *m_db = nullptr;

    // The passes kept, the last used last.
    std::vector<Pass> m_kept;
    // The indexes of the fact table, read with the first pass.
    std::optional<std::vector<Index>> m_indexes;
    // What told that the database was unchanged since they were read.
    quint64 m_connection = 0;
    QString m_dataVersion;

    // Level code -> its agencies (sorted, each once); read again at every
    // refresh, when a level is first asked for (none until then).
    std::optional<QHash<QString, QStringList>> m_levelAgencies;

    int m_passes = 0;
    int m_monthsRead = 0;
    int m_figureStatements = 0;
};
