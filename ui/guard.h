#pragma once

#include "ui/messages.h"
#include "store/dberror.h"

#include <QWidget>

#include <exception>

// Qt does not carry exceptions through its event loop: every event handler
// runs its body through here, and an error ends the handler and reaches the
// application error display. The program goes on.
template <typename Body>
bool guarded(QWidget *window, Body &&body)
{
    try {
        body();
        return true;
    } catch (const EDatabaseError &e) {
        Messages::ShowException(window, e.message());
    } catch (const std::exception &e) {
        Messages::ShowException(window, QString::fromUtf8(e.what()));
    } catch (...) {
        Messages::ShowException(window, QString());
    }
    return false;
}

// Sets a window's own cursor to the hourglass for the life of the guard and
// restores it however the scope is left.
class WaitCursor
{
public:
    explicit WaitCursor(QWidget *window) : m_window(window) { m_window->setCursor(Qt::WaitCursor); }
    ~WaitCursor()
    {
        m_window->unsetCursor();
        // A top-level window keeps WA_SetCursor after unsetCursor(); the
        // window is back on the default cursor, so say so.
        m_window->setAttribute(Qt::WA_SetCursor, false);
    }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

private:
    QWidget *m_window;
};
