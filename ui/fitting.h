#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>
#include <QSize>
#include <QVector>

#include <optional>

class QComboBox;
class QTreeWidget;
class QWidget;

// What the windows share so that nothing a user needs is cut, whatever the
// fonts and the screen.
namespace Fitting {

// Widens each column of `list` to its caption and to its longest text, in
// every row (not only those in view). `minimum` holds the widths of the
// form (0: none): a column keeps its form's width, unless the columns
// together would not fit in the list; then the room the form gave beyond
// the text goes back first, so that a horizontal scroll bar appears only
// when the texts themselves are wider than the list.
// A `footer` (a line drawn under the rows in `footerFont`, its cells of one
// or more lines) counts as one more row.
void fitColumns(QTreeWidget *list, const QVector<int> &minimum, const QStringList &footer = {},
                const QFont &footerFont = QFont());

// Widens every label of `window` that is narrower than its text, in its
// place. (Done for the windows below as they are first shown.)
void widenLabels(QWidget *window);

// Makes the opened list of `combo` as wide as its longest entry, and never
// narrower than the box itself.
void fitPopup(QComboBox *combo);

// Puts every control of `window` on a page of the form's size inside a
// scroll area that fills the window, and returns the page. Where the
// window is as large as the form or larger, nothing changes for the user:
// the page takes the whole window. Where the screen is smaller, the window
// opens no larger than the screen's available area, and what does not fit
// scrolls. Given a `smallest` size, the page follows the window's size down
// to that (the window lays its controls out on the page as its size
// changes); otherwise it keeps the form's size, give or take the pixel a
// scale factor's rounding takes off.
QWidget *scrollWhenScreenIsSmall(QWidget *window, QSize smallest = QSize());

// The available area of the screen a window opens on (the screen's own,
// unless a test has set one).
QRect availableGeometry(const QWidget *window);
// Tests: pretends the screen's available area is `area` (nothing: the real
// one again).
void setAvailableGeometryForTests(std::optional<QRect> area);

} // namespace Fitting
