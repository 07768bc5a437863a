#pragma once

#include "store/dberror.h"

#include <QDate>
#include <QString>

// The size of the organisation: the sample's own French organisation
// (a dozen sectors, some eighty agencies, 320 users, 36 suppliers) when no
// count is given, or one of the counts given, with plain numbered names.
struct SampleShape
{
    int levels = 0;
    int agencies = 0;
    int users = 0;
    int suppliers = 0;
    // Account codes the tracking table does not read, beside its six.
    int extraAccounts = 1;

    bool numbered() const { return levels > 0 || agencies > 0 || users > 0 || suppliers > 0; }
};

// The counts of an organisation, named as the tools take them
// (orvalis-sample --levels 40, orvalis-bench --shape levels=40), with their
// bounds.
struct SampleCount
{
    const char *name;
    int SampleShape::*field;
    int minimum;
    int maximum;
};
inline constexpr SampleCount sampleCounts[] = {
    {"levels", &SampleShape::levels, 1, 60000},       {"agencies", &SampleShape::agencies, 1, 60000},
    {"users", &SampleShape::users, 1, 60000},         {"suppliers", &SampleShape::suppliers, 1, 60000},
    {"extra-accounts", &SampleShape::extraAccounts, 0, 50},
};

// What the sample database should hold.
struct SampleOptions
{
    QString path;           // the database file to create, or a server URI
    qint64 rows = 200000;   // fact rows in `data`
    quint32 seed = 1;       // same seed, same content
    bool force = false;     // replace an existing file (the tables on a server)
    QDate lastMonth;        // last month of the facts; the current month when null
    SampleShape shape;
};

// What was written, for the closing line of the tool.
struct SampleSummary
{
    QString path;
    int levels = 0;
    int agencies = 0;
    int links = 0;
    int users = 0;
    int suppliers = 0;
    qint64 facts = 0;
    QDate firstMonth;
    QDate lastMonth;

    QString text() const;
};

// Raised when the file exists (on a server: the tables exist) and replacing
// it was not asked for.
class ESampleFileExists : public EDatabaseError
{
public:
    using EDatabaseError::EDatabaseError;
};

// Builds a sample database: the six tables filled with a French sales
// organisation (sectors, agencies, salespeople, suppliers) and 24 months of
// quotes and orders, with the covering index of the fact table and the
// engine's statistics.
//
// The file is built beside the target under a temporary name and renamed
// at the end, so a failure never leaves half a database behind and never
// harms the file being replaced. On a server (the path is a PostgreSQL
// URI) the tables are created and filled in one transaction. Raises
// ESampleFileExists or EDatabaseError with a French message.
class SampleGenerator
{
public:
    explicit SampleGenerator(SampleOptions options);

    SampleSummary run();

    static constexpr int Months = 24;
    // The first account code the tracking table does not read.
    static QString ignoredAccount() { return extraAccounts(1).first(); }
    // The codes of `count` accounts the tracking table does not read.
    static QStringList extraAccounts(int count);
    // The largest counts a numbered organisation may have.

private:
    SampleSummary runOnServer();

    SampleOptions m_options;
};
