#pragma once

#include "store/dberror.h"

#include <QDate>
#include <QString>

// What the sample database should hold.
struct SampleOptions
{
    QString path;           // the database file to create
    qint64 rows = 200000;   // fact rows in `data`
    quint32 seed = 1;       // same seed, same content
    bool force = false;     // replace an existing file
    QDate lastMonth;        // last month of the facts; the current month when null
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

// Raised when the file exists and replacing it was not asked for.
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
// harms the file being replaced. Raises ESampleFileExists or EDatabaseError
// with a French message.
class SampleGenerator
{
public:
    explicit SampleGenerator(SampleOptions options);

    SampleSummary run();

    static constexpr int Months = 24;
    // The account code the tracking table does not read.
    static QString ignoredAccount() { return QStringLiteral("NB_APPELS"); }

private:
    SampleOptions m_options;
};
