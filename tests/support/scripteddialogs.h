#pragma once

#include "ui/filedialogs.h"

#include <QList>

// Answers every file dialog the code opens, from a queue of answers, and
// records what was asked. A dialog with no answer left is cancelled.
class ScriptedFileDialogs
{
public:
    ScriptedFileDialogs();
    ~ScriptedFileDialogs();

    void answerNext(const QString &fileName, const QString &selectedFilter = QString())
    {
        m_answers << FileDialogs::Answer{fileName, selectedFilter};
    }
    const QList<FileDialogs::Request> &asked() const { return m_asked; }

private:
    FileDialogs::Handler m_previous;
    QList<FileDialogs::Request> m_asked;
    QList<FileDialogs::Answer> m_answers;
};
