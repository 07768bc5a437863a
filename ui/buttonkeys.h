#pragma once

class QWidget;

// Lets Enter press the focused push button of `window`, as Space does.
// Enter anywhere else (a line edit, a list) presses nothing: the windows
// have no default button.
void pressFocusedButtonOnEnter(QWidget *window);
