#include "ui/presses.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>

namespace {

class PressGuard : public QObject
{
public:
    explicit PressGuard(QObject *parent) : QObject(parent) {}

    // Watches the presses that reach `target`.
    void watch(QObject *target) { target->installEventFilter(this); }
    // Swallows the presses of the next interval.
    void pause() { m_since.start(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QElapsedTimer m_since;
};

// The keys that press a button or answer a box.
bool pressingKey(const QKeyEvent *key)
{
    switch (key->key()) {
    case Qt::Key_Space:
    case Qt::Key_Select:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
}

bool PressGuard::eventFilter(QObject *, QEvent *event)
{
    bool repeated = false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        break;
    case QEvent::KeyPress: {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (!pressingKey(key))
            return false;
        repeated = key->isAutoRepeat();
        break;
    }
    default:
        // Releases complete only the presses that were let through.
        return false;
    }
    if (!repeated && !(m_since.isValid() && m_since.elapsed() < QApplication::doubleClickInterval()))
        return false;
    m_since.start();
    return true;
}

} // namespace

void onClick(QAbstractButton *button, const std::function<void()> &action)
{
    auto *guard = new PressGuard(button);
    guard->watch(button);
    QObject::connect(button, &QAbstractButton::clicked, guard, [guard, action] {
        action();
        guard->pause();
    });
}

void ignorePressesFromBefore(QWidget *window)
{
    auto *guard = new PressGuard(window);
    guard->watch(window);
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
        guard->watch(button);
    guard->pause();
}
