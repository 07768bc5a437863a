#pragma once

#include "ui/startup.h"

#include <QStringList>

#include <memory>

class QApplication;
class TFichePrincipale;

// The program's own start: its style, its main window, its message loop.
namespace Startup {

// Applies the style sheet compiled into the program. When it cannot be
// applied, a message says so and the default look stays.
bool applyStyleSheet(QApplication &app, const QString &resource = QStringLiteral(":/orvalis/orvalis.qss"));

// Creates the main window and sets it up from the command-line arguments
// (the program name not included). With any count other than two, shows the
// parameter message and returns nothing: no window is shown.
std::unique_ptr<TFichePrincipale> createMainWindow(const QStringList &arguments);

// The whole start-up: translations, style, main window, message loop.
// Always returns 0.
int run(QApplication &app, const QStringList &arguments);

} // namespace Startup
