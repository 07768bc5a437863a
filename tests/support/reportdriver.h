#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// What orvalis-report gives back for a command line, run in this process.
struct ReportOutcome
{
    int status = 0;
    QByteArray out;
    QString err;
};

ReportOutcome runReport(const QStringList &arguments);

// One run of a program as a process of its own.
struct ToolRun
{
    bool finished = false;
    bool crashed = false; // ended by a signal (an abort, a kill)
    int status = -1;
    QByteArray out;
    QString err;
};

// Runs the program at `path` with `arguments`. `inChild` runs in the child
// before the program starts (limits, another user); `stdoutFile` replaces
// the standard output; `environment` is the program's.
ToolRun runProgram(const QString &path, const QStringList &arguments, const std::function<void()> &inChild = {},
                   const QString &stdoutFile = QString(),
                   const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
