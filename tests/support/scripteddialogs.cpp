#include "scripteddialogs.h"

ScriptedFileDialogs::ScriptedFileDialogs()
{
    m_previous = FileDialogs::setHandler([this](const FileDialogs::Request &request) {
        m_asked << request;
        return m_answers.isEmpty() ? FileDialogs::Answer{} : m_answers.takeFirst();
    });
}

ScriptedFileDialogs::~ScriptedFileDialogs()
{
    FileDialogs::setHandler(m_previous);
}
