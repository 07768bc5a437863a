#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QComboBox;

// What orvalis-report gives back for a command line, run in this process.
struct ReportOutcome
{
    int status = 0;
    QByteArray out;
    QString err;
};

ReportOutcome runReport(const QStringList &arguments);

// Chooses, as a user would, the entry of a filter list that holds `code`;
// fails the test when there is none.
void chooseCode(QComboBox *combo, const QString &code);
