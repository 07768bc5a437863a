#pragma once

#include "dashboard/dashboardfigures.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// Every figure of a refresh from one grouped pass over the month's facts.
//
// prepare() sums the month once, grouped by account and agency (and by user
// where rows stand for users), and figures() combines those sums in memory,
// with exactly the meaning of the account statement (TAccountSQL): a level
// stands for the agencies linked to it, a level with an empty code restricts
// nothing, NULL never equals a code, the empty code equals only the empty
// text.
//
// The sums are kept for the next refreshes of the same month and supplier
// as long as the database shows that no other connection wrote to it: a
// change of level, or of user within an agency, then reads only the links.
class GroupedFigureSource : public FigureSource
{
public:
    void prepare(TABSDatabase *db, const DashboardSelection &selection, int drill) override;
    AccountSums figures(TAccount &request) override;

    // Passes over the fact table run so far by this source.
    int passes() const { return m_passes; }

    // What one pass covers: a month, the supplier when the supplier filter
    // is on, possibly one agency; sums by agency, or by agency and user.
    struct Scope
    {
        int year = 0;
        int month = 0;
        std::optional<QString> supplier;
        std::optional<QString> agency;
        bool byUser = false;
    };
    // The grouped statement of a scope.
    static QString passStatement(const Scope &scope);
    static QString linksStatement();

private:
    static constexpr int Null = -1;     // a NULL agency or user
    static constexpr int AnyUser = -3;  // sums of every user of the agency

    struct Group
    {
        int agency;
        int user;
        double sums[6];
    };
    struct Pass
    {
        Scope scope;
        QVector<Group> groups; // in the order of the statement
        QHash<QString, int> agencies;
        QHash<QString, int> users;
    };

    static bool covers(const Scope &pass, const Scope &wanted);
    const Pass &passFor(const Scope &wanted);
    void forgetIfChanged();
    qint64 dataVersion();
    void readLinks();

    TABSDatabase *m_db = nullptr;

    // The passes kept: the month by agency, and the last one by user.
    std::optional<Pass> m_byAgency;
    std::optional<Pass> m_byUser;
    // What told that the database was unchanged since they were read.
    quint64 m_connection = 0;
    qint64 m_dataVersion = -1;

    // Level code -> its agencies; read again at every refresh, when a level
    // is first asked for (none until then).
    std::optional<QHash<QString, QStringList>> m_levelAgencies;

    int m_passes = 0;
};
