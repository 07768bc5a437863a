#pragma once

#include <QStringList>

#include <memory>

class QApplication;
class QGuiApplication;
class QCoreApplication;

// How every process of the system starts: the program and the tools.
namespace Startup {

// Qt's own texts (Oui/Non, Annuler, standard dialogs) in French.
bool installFrenchTranslations(QCoreApplication &app);

// The arguments the program was started with, its name not included. Qt's
// own options (-reverse, -style, -platform…) are arguments like any other:
// Qt is never given them (see createApplication).
QStringList arguments(int argc, char *argv[]);

// Whether the environment names a display for the windows: QT_QPA_PLATFORM,
// DISPLAY or WAYLAND_DISPLAY.
bool displayNamed();

// The application object, given the program's name alone: the environment
// sets Qt up (QT_QPA_PLATFORM, DISPLAY, QT_STYLE_OVERRIDE…), never the
// command line. When there is no display, or it cannot be opened, says so
// on the standard error after "<tool> :" and ends the process with status
// 1.
std::unique_ptr<QApplication> createApplication(const char *program, const char *tool);

// The same for a tool that draws without windows (on the platform that
// QT_QPA_PLATFORM names): `failure` is what it says when that platform
// cannot be loaded.
std::unique_ptr<QGuiApplication> createGuiApplication(const char *program, const char *tool, const QString &failure);

} // namespace Startup
