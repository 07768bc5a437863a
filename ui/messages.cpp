#include "ui/messages.h"

#include "ui/activation.h"
#include "ui/presses.h"
#include "store/visibletext.h"

#include <QApplication>
#include <QWindow>

namespace Messages {

namespace {

Handler &currentHandler()
{
    static Handler handler;
    return handler;
}

QMessageBox::Icon toQt(Icon icon)
{
    switch (icon) {
    case Icon::Warning:
        return QMessageBox::Warning;
    case Icon::Question:
        return QMessageBox::Question;
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton show(QWidget *parent, const Box &box)
{
    if (!parent)
        parent = QApplication::activeWindow();
    QWindow *parentWindow = parent ? parent->window()->windowHandle() : nullptr;

    if (Handler &handler = currentHandler()) {
        const QMessageBox::StandardButton answer = handler(box);
        // A real box hands the focus back to its window when it closes;
        // do what that focus change does.
        if (parentWindow)
            FocusHistory::instance().returnFromBox(parentWindow, box.errorDisplay);
        return answer;
    }

    QMessageBox dialog(toQt(box.icon), box.title, box.text, box.buttons, parent);
    if (box.defaultButton != QMessageBox::NoButton)
        dialog.setDefaultButton(box.defaultButton);
    if (box.errorDisplay)
        FocusHistory::markErrorDisplay(&dialog);
    ignorePressesFromBefore(&dialog);
    const auto answer = QMessageBox::StandardButton(dialog.exec());
    FocusHistory::returnFocusTo(parent);
    return answer;
}

} // namespace

Handler setHandler(Handler handler)
{
    Handler previous = std::move(currentHandler());
    currentHandler() = std::move(handler);
    return previous;
}

QString applicationTitle()
{
    return QStringLiteral("Orvalis");
}

void ShowMessage(QWidget *parent, const QString &text)
{
    Box box;
    box.title = applicationTitle();
    box.text = text;
    box.buttons = QMessageBox::Ok;
    show(parent, box);
}

QMessageBox::StandardButton MessageDlg(QWidget *parent, const QString &text, Icon icon,
                                       QMessageBox::StandardButtons buttons)
{
    Box box;
    box.icon = icon;
    box.title = applicationTitle();
    box.text = text;
    box.buttons = buttons;
    box.defaultButton = buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::NoButton;
    return show(parent, box);
}

void ShowException(QWidget *parent, const QString &message)
{
    Box box;
    box.icon = Icon::Critical;
    box.title = applicationTitle();
    box.text = visibleText(message);
    box.buttons = QMessageBox::Ok;
    box.errorDisplay = true;
    show(parent, box);
}

} // namespace Messages
