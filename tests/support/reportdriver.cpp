#include "reportdriver.h"

#include "tools/report/reportcommand.h"

#include <QBuffer>
#include <QTextStream>

ReportOutcome runReport(const QStringList &arguments)
{
    ReportOutcome outcome;
    QBuffer out(&outcome.out);
    out.open(QIODevice::WriteOnly);
    QTextStream err(&outcome.err);
    outcome.status = HeadlessReport::run(arguments, out, err);
    err.flush();
    return outcome;
}
