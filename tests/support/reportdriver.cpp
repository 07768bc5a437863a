#include "reportdriver.h"

#include "dashboard/headlessreport.h"
#include "store/tobjectcode.h"

#include <QBuffer>
#include <QComboBox>
#include <QTest>
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

void chooseCode(QComboBox *combo, const QString &code)
{
    for (int i = 1; i < combo->count(); ++i) {
        if (GetItemCode(combo, i) == code) {
            combo->setCurrentIndex(i);
            emit combo->activated(i);
            return;
        }
    }
    QFAIL(qPrintable(QStringLiteral("no entry %1 in %2").arg(code, combo->objectName())));
}
