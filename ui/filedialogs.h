#pragma once

#include <QString>

#include <functional>

class QPrinter;
class QWidget;

// Every file dialog of the program goes through here. A test installs a
// handler that answers instead of the user, so no real dialog is ever
// shown under test.
namespace FileDialogs {

struct Request
{
    QString caption;
    QString dir;            // folder, or proposed path with a file name
    QString filter;         // "Name (*.ext);;Other (*.x)"
    QString selectedFilter; // the filter offered first
};

struct Answer
{
    QString fileName; // empty: cancelled
    QString selectedFilter;
};

using Handler = std::function<Answer(const Request &)>;

// Replaces the real dialogs by `handler` (tests); an empty handler restores
// them. Returns the previous handler.
Handler setHandler(Handler handler);

// Asks for the name of a file to write. `selectedFilter` gives the filter
// offered first and receives the one chosen. Empty when cancelled. Closing
// the dialog does not count as a return to the window from another of ours
// (the window does not reload its lists for it).
QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                        QString *selectedFilter = nullptr);
// Asks for the name of an existing file to open. Empty when cancelled.
QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter);

// The print dialog: the user picks a printer (or a PDF file) for
// `printer`. False when cancelled. Like the file dialog, closing it does
// not reload the window. A test's handler answers instead of the user.
using PrinterHandler = std::function<bool(QPrinter &)>;
PrinterHandler setPrinterHandler(PrinterHandler handler);
bool choosePrinter(QWidget *parent, QPrinter &printer);

} // namespace FileDialogs
