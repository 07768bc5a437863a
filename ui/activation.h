#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;
class QWindow;

// Follows the application's focus window so that a window can tell where
// the focus came from when it gets it back: a message box or a modal child
// window of this program, the application error display, a passive window,
// another window of ours, or outside (another program, or nothing).
//
// Popups, menus, tooltips, completers and drag images are no windows in
// this sense: the focus they take for a moment belongs to the window they
// came from, so they never enter the history. Opening a list and picking
// an entry is not a return to the window.
class FocusHistory : public QObject
{
    Q_OBJECT
public:
    enum class Origin { Outside, OwnWindow, ErrorDisplay, Passive, Other };
    Q_ENUM(Origin)

    // Whether `window` is a transient part of another window (a popup, a
    // menu, a tooltip...) rather than a window of its own.
    static bool isTransient(const QWindow *window);

    static FocusHistory &instance();

    // Marks the window of an application error display box (takes effect
    // when it is shown).
    static void markErrorDisplay(QWidget *window);
    // Marks a window of ours that only looks at what its owner shows (a
    // chart of the owner's figures, a file dialog for an export): the focus
    // coming back from it is no return that reloads the owner. Takes effect
    // when the window is shown.
    static void markPassive(QWidget *window);

    // The application's focus window changed (connected to
    // QGuiApplication::focusWindowChanged).
    void focusWindowChanged(QWindow *to);

    // What a message box does when it closes: the focus goes from the box
    // back to `window`.
    void returnFromBox(QWindow *window, bool errorDisplay);

    // After a modal window of ours closed: gives the focus back to the
    // window that opened it, where the platform does not do it itself.
    static void returnFocusTo(QWidget *window);

signals:
    void focusArrived(QWindow *to, FocusHistory::Origin from);

private:
    FocusHistory();
    static Origin originOf(QWindow *window);

    Origin m_current = Origin::Outside; // the window holding the focus now
    Origin m_lastOwn = Origin::Outside; // the last window of ours that had it
    QPointer<QWindow> m_holder;         // the window holding it, if ours
    QElapsedTimer m_sinceLeft;          // since the focus left for nothing
};

// Runs a window's activation handler at its first display and whenever the
// focus comes back to it from another window of this program. Switching to
// another program and back is not an activation, and neither is the return
// from the application error display: an error raised by the handler itself
// must not bring the handler back in a loop.
class Activation : public QObject
{
    Q_OBJECT
public:
    Activation(QWidget *window, std::function<void()> handler);

    int count() const { return m_count; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onFocusArrived(QWindow *to, FocusHistory::Origin from);
    void activate();

    QPointer<QWidget> m_window;
    std::function<void()> m_handler;
    int m_count = 0;
    bool m_focusWentElsewhere = false; // since the window last had it
};
