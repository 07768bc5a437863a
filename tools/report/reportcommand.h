#pragma once

#include "dashboard/headlessreport.h"

#include <QDate>
#include <QIODevice>
#include <QStringList>

class QTextStream;

// orvalis-report's command line: its help, its options, and the whole
// program around the table that dashboard/headlessreport.h makes.
namespace HeadlessReport {

// The whole help, in French: arguments, options, exit statuses.
QString usage();

// Reads the arguments (program name excluded). Throws UsageError.
Request parse(const QStringList &arguments, const QDate &today = QDate::currentDate());

// The whole program: returns the exit status (0, 1 database or file error,
// 2 usage). Everything written to `out` is checked to its end (a file
// device is flushed too): a failure is a message and status 1. Running out
// of memory is a message and status 1 as well.
int run(const QStringList &arguments, QIODevice &out, QTextStream &err);

} // namespace HeadlessReport
