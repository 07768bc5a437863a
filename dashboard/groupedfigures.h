#pragma once

#include "dashboard/dashboardfigures.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <optional>

// Every figure of a refresh from one grouped pass over the month's facts.
//
// prepare() sums the month once, grouped by account, agency and user, and
// reads the level-agency links; figures() then combines those sums in
// memory, with exactly the meaning of the account statement (TAccountSQL):
// a level stands for the agencies linked to it, a level with an empty code
// restricts nothing, NULL never equals a code, the empty code equals only
// the empty text.
//
// The sums of a month are kept for the next refresh of the same month and
// supplier as long as the database shows that no other connection wrote to
// it: choosing another level, agency or user then reads only the links.
class GroupedFigureSource : public FigureSource
{
public:
    void prepare(TABSDatabase *db, const DashboardSelection &selection, int drill) override;
    AccountSums figures(TAccount &request) override;

    // Passes over the fact table run so far by this source.
    int passes() const { return m_passes; }

    // What one pass covers: a month, the supplier when the supplier filter
    // is on, and possibly one agency.
    struct Scope
    {
        int year = 0;
        int month = 0;
        std::optional<QString> supplier;
        std::optional<QString> agency;
    };
    // The grouped statement of a scope.
    static QString passStatement(const Scope &scope);
    static QString linksStatement();

private:
    struct Group
    {
        int agency; // index into m_agencies, -1 for NULL
        int user;   // index into m_users, -1 for NULL
        double sums[6];
    };

    bool covers(const Scope &pass, const TAccount &request) const;
    bool stillValid();
    qint64 dataVersion();
    void runPass(const Scope &scope);
    void readLinks();
    static int intern(QHash<QString, int> &table, const QString &code);

    TABSDatabase *m_db = nullptr;

    // The sums of the last pass, in the order of its statement.
    bool m_hasPass = false;
    Scope m_scope;
    QVector<Group> m_groups;
    QHash<QString, int> m_agencies;
    QHash<QString, int> m_users;
    // What told that the database was unchanged since the pass.
    quint64 m_connection = 0;
    qint64 m_dataVersion = -1;

    // Level code -> indexes of its agencies that have facts in the pass;
    // read again at every refresh, when a level is first asked for.
    QHash<QString, QVector<int>> m_levelAgencies;
    bool m_linksRead = false;

    int m_passes = 0;
};
