#pragma once

#include <QString>
#include <stdexcept>

// Every failure of the database layer is raised as this exception. Its
// message is the engine's own text (or ours, in French, where we detect the
// problem first). Windows never catch it themselves: the edge of each event
// handler hands it to the application error display.
class EDatabaseError : public std::runtime_error
{
public:
    explicit EDatabaseError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }

    const QString &message() const { return m_message; }

private:
    QString m_message;
};
