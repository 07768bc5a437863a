#include "ui/activation.h"

#include "ui/guard.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {
const char ErrorDisplayProperty[] = "orvalis_error_display";
const char PassiveProperty[] = "orvalis_passive";

// A focus that leaves for nothing and comes back this fast never saw
// another program: some platforms pass through "no focus" between two of
// our own windows.
constexpr qint64 FocusGapMs = 250;
} // namespace

FocusHistory::FocusHistory()
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::focusWindowChanged, this, &FocusHistory::focusWindowChanged);
}

FocusHistory &FocusHistory::instance()
{
    static FocusHistory *history = new FocusHistory;
    return *history;
}

namespace {
// Marks the platform window of a widget once it has one (when shown):
// asking for it earlier, through winId(), would turn every sibling widget
// into a native window as well.
class WindowMarker : public QObject
{
public:
    WindowMarker(QWidget *window, const char *property) : QObject(window), m_property(property) {}
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (QWindow *window = static_cast<QWidget *>(watched)->windowHandle())
                window->setProperty(m_property, true);
        }
        return false;
    }

private:
    const char *m_property;
};

void mark(QWidget *window, const char *property)
{
    if (QWindow *handle = window->windowHandle())
        handle->setProperty(property, true);
    window->installEventFilter(new WindowMarker(window, property));
}
} // namespace

void FocusHistory::markErrorDisplay(QWidget *window)
{
    mark(window, ErrorDisplayProperty);
}

void FocusHistory::markPassive(QWidget *window)
{
    mark(window, PassiveProperty);
}

bool FocusHistory::isTransient(const QWindow *window)
{
    if (!window)
        return false;
    switch (window->type()) {
    case Qt::Popup:
    case Qt::ToolTip:
    case Qt::SplashScreen:
    case Qt::Drawer:
    case Qt::ForeignWindow:
        return true;
    default:
        break;
    }
    return window->flags().testFlag(Qt::WindowDoesNotAcceptFocus);
}

FocusHistory::Origin FocusHistory::originOf(QWindow *window)
{
    if (!window)
        return Origin::Outside;
    if (window->property(ErrorDisplayProperty).toBool())
        return Origin::ErrorDisplay;
    if (window->property(PassiveProperty).toBool())
        return Origin::Passive;
    // A message box or a modal child: a window whose closing hands the
    // focus back to the one it covered.
    return window->modality() != Qt::NonModal ? Origin::OwnWindow : Origin::Other;
}

void FocusHistory::focusWindowChanged(QWindow *to)
{
    if (isTransient(to))
        return;

    Origin from = m_current;
    if (from == Origin::Outside && m_sinceLeft.isValid() && m_sinceLeft.elapsed() < FocusGapMs)
        from = m_lastOwn;

    const QWindow *previous = m_holder;
    const bool wasAway = m_current == Origin::Outside;
    m_current = originOf(to);
    if (!to) {
        m_sinceLeft.start();
        return;
    }
    const bool sameWindow = to == previous && !wasAway;
    m_holder = to;
    m_lastOwn = m_current;
    m_sinceLeft.invalidate();
    // The focus back on the window that had it, after a popup or a menu
    // closed: nothing arrived.
    if (!sameWindow)
        emit focusArrived(to, from);
}

void FocusHistory::returnFromBox(QWindow *window, bool errorDisplay)
{
    // The box took the focus (it has no platform window of its own here)...
    emit focusArrived(nullptr, m_current);
    // ...and gives it back as it closes.
    m_current = errorDisplay ? Origin::ErrorDisplay : Origin::OwnWindow;
    m_holder = nullptr;
    m_sinceLeft.invalidate();
    focusWindowChanged(window);
}

void FocusHistory::returnFocusTo(QWidget *window)
{
    if (!window)
        return;
    QWidget *top = window->window();
    if (top->isVisible() && QGuiApplication::focusWindow() != top->windowHandle())
        top->activateWindow();
}

Activation::Activation(QWidget *window, std::function<void()> handler)
    : QObject(window), m_window(window), m_handler(std::move(handler))
{
    window->installEventFilter(this);
    connect(&FocusHistory::instance(), &FocusHistory::focusArrived, this, &Activation::onFocusArrived);
}

bool Activation::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::Show && m_count == 0) {
        // First display: activate once the window is up, whether or not the
        // platform gives it the focus.
        QTimer::singleShot(0, this, [this] {
            if (m_count == 0 && m_window && m_window->isVisible())
                activate();
        });
    }
    return QObject::eventFilter(watched, event);
}

void Activation::onFocusArrived(QWindow *to, FocusHistory::Origin from)
{
    if (!m_window)
        return;
    if (!m_window->isVisible() || to != m_window->windowHandle()) {
        m_focusWentElsewhere = true;
        return;
    }
    const bool cameBack = m_focusWentElsewhere;
    m_focusWentElsewhere = false;
    if (m_count == 0)
        activate();
    else if (cameBack && from == FocusHistory::Origin::OwnWindow)
        activate();
}

void Activation::activate()
{
    ++m_count;
    guarded(m_window, m_handler);
}
