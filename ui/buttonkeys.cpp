#include "ui/buttonkeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

namespace {

class EnterOnButton : public QObject
{
public:
    explicit EnterOnButton(QWidget *window) : QObject(window), m_window(window) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (!enter || modifiers != Qt::NoModifier || key->isAutoRepeat())
            return false;
        auto *button = qobject_cast<QPushButton *>(watched);
        if (!button || button->window() != m_window || !button->isEnabled() || !button->isVisible())
            return false;
        button->animateClick();
        return true;
    }

private:
    QWidget *m_window;
};

} // namespace

void pressFocusedButtonOnEnter(QWidget *window)
{
    auto *filter = new EnterOnButton(window);
    for (QPushButton *button : window->findChildren<QPushButton *>())
        button->installEventFilter(filter);
}
