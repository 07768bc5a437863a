#include "reportdriver.h"

#include "tools/report/reportcommand.h"

#include <QBuffer>
#include <QProcess>
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

ToolRun runProgram(const QString &path, const QStringList &arguments, const std::function<void()> &inChild,
                   const QString &stdoutFile, const QProcessEnvironment &environment)
{
    QProcess process;
    if (inChild)
        process.setChildProcessModifier(inChild);
    if (!stdoutFile.isEmpty())
        process.setStandardOutputFile(stdoutFile);
    process.setProcessEnvironment(environment);
    process.start(path, arguments);
    ToolRun run;
    run.finished = process.waitForFinished(120000);
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
