#pragma once

#include <functional>

class QAbstractButton;
class QWidget;

// A press is the user's own only when it is new. The second click of a
// double click, the repeats of a key held down (which some window systems
// deliver as fresh presses, press and release each time) and the presses
// queued while a statement ran all come within the double-click interval
// of the last one; acting on each would add a second row for whatever the
// window selected after reloading. A guard lets through the presses that
// come after a pause of that interval, and swallows the others, each
// swallowed press starting the pause again: a held key acts once, a double
// click once, a deliberate second click after a moment again.

// Runs `action` once for each click of `button` whose press was new; the
// pause starts when the action is over, so the presses that arrived while
// it ran are not new either.
void onClick(QAbstractButton *button, const std::function<void()> &action);

// Swallows the presses that reach `window` or its buttons within the
// interval after it is shown: a box that opens under a held key or a
// double click is answered by a press made after it was there.
void ignorePressesFromBefore(QWidget *window);
