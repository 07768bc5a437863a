#pragma once

#include <QString>

#include <functional>

// The command-line tools (orvalis-report, orvalis-sample, orvalis-repair, orvalis-bench,
// orvalis-shots) share one rule for their exit statuses, one way to say it
// in their help, and one edge that no failure passes.
namespace ToolExit {

constexpr int Success = 0;
// A database or a file could not be used (read, written, created), or
// memory ran out.
constexpr int Failure = 1;
// The command line cannot be served: unknown option, missing or invalid
// value, a refused output path.
constexpr int Usage = 2;

// A command line that cannot be served: "<tool> : <message> (<tool> --help :
// l'aide)" on the standard error. Returns Usage.
int usage(const char *tool, const QString &message);

// The lines every tool's help ends with.
QString statusHelp();

// The message for an allocation that failed.
QString outOfMemory();

// Runs a tool's whole body, its application object included. An exception
// that reaches here (an allocation that failed, above all) is a message on
// the standard error, after the tool's name, and exit status 1: never an
// abort. A closed pipe (SIGPIPE) or a file-size limit (SIGXFSZ) does not
// end the tool either: the write fails, and says so.
int guard(const char *tool, const std::function<int()> &body);

// Writes `text` (UTF-8) on the standard output at once. A write that fails
// (a closed pipe, a full disk) throws, and guard() turns it into a message
// and status 1.
void print(const QString &text);

} // namespace ToolExit
