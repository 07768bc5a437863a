// orvalis-report: the tracking table on standard output.
#include "dashboard/headlessreport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return 1;
    QTextStream err(stderr);
    const int status = HeadlessReport::run(arguments, out, err);
    out.flush();
    err.flush();
    return status;
}
