#pragma once

#include <QString>

class TABSDatabase;
class TAccount;

// Sums one figure: turns the current state of a TAccount into one
// "SELECT SUM" statement over the fact table and runs it. Several months
// are one range of period_month; one month has the statement it always had. Neither the
// account nor the database belongs to it.
class TAccountSQL
{
public:
    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetAccount(TAccount *account) { FAccount = account; }

    // The statement for the request as it stands now.
    QString BuildStatement() const;
    // Runs it; 0.0 when no fact row matches.
    double GetValue() const;

    static QString statementFor(const TAccount &account);

private:
    TABSDatabase *FDatabase = nullptr;
    TAccount *FAccount = nullptr;
};
