#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every message box of the program goes through here. A test installs a
// handler that reads the box and answers it, so no real modal box is ever
// shown under test.
namespace Messages {

enum class Icon { None, Warning, Question, Critical };

struct Box
{
    Icon icon = Icon::None;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool errorDisplay = false; // the application error display
};

using Handler = std::function<QMessageBox::StandardButton(const Box &)>;

// Replaces the real boxes by `handler` (tests); an empty handler restores
// them. Returns the previous handler.
Handler setHandler(Handler handler);

// The title of every box.
QString applicationTitle();

// A plain box with an OK button and no icon.
void ShowMessage(QWidget *parent, const QString &text);

// A box with an icon and a choice of buttons; Yes is the default.
QMessageBox::StandardButton MessageDlg(QWidget *parent, const QString &text, Icon icon,
                                       QMessageBox::StandardButtons buttons);

// The application error display: a critical box with the error's message.
void ShowException(QWidget *parent, const QString &message);

} // namespace Messages
