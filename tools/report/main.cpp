// orvalis-report: the tracking table on standard output.
#include "app/toolexit.h"
#include "dashboard/headlessreport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char *argv[])
{
    return ToolExit::guard("orvalis-report", [&] {
        QCoreApplication app(argc, argv);
        QStringList arguments = QCoreApplication::arguments();
        arguments.removeFirst();
        // Unbuffered: every write reaches the descriptor at once, and its
        // failure (a full disk, say) is seen where it happens.
        QFile out;
        if (!out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered))
            return ToolExit::Failure;
        QTextStream err(stderr);
        const int status = HeadlessReport::run(arguments, out, err);
        err.flush();
        return status;
    });
}
