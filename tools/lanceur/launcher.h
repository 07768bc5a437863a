#pragma once

#include <QDialog>
#include <QStringList>

#include <functional>

class QLineEdit;
class QPushButton;

// The start dialog of the desktop menu's entry: the database (a file
// chosen or typed, or a server address typed) and the user code, the last
// ones remembered. "Ouvrir" starts the program beside this one with exactly
// those two arguments and closes the dialog.
class Launcher : public QDialog
{
    Q_OBJECT
public:
    // Starts `program` with `arguments`, detached; false when it could not
    // be started. A test passes its own.
    using Start = std::function<bool(const QString &program, const QStringList &arguments)>;

    explicit Launcher(Start start = startDetached, QWidget *parent = nullptr);

    static bool startDetached(const QString &program, const QStringList &arguments);

private:
    void browse();
    void open();
    void updateOpen();

    Start m_start;
    QLineEdit *m_database;
    QLineEdit *m_user;
    QPushButton *m_open;
};
