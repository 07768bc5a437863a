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

// The lines every tool's help ends with.
QString statusHelp();

// The message for an allocation that failed.
QString outOfMemory();

// Runs a tool's whole body, its application object included. An exception
// that reaches here (an allocation that failed, above all) is a message on
// the standard error, after the tool's name, and exit status 1: never an
// abort.
int guard(const char *tool, const std::function<int()> &body);

} // namespace ToolExit
