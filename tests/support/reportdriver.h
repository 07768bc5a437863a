#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What orvalis-report gives back for a command line, run in this process.
struct ReportOutcome
{
    int status = 0;
    QByteArray out;
    QString err;
};

ReportOutcome runReport(const QStringList &arguments);
