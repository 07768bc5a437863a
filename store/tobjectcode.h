#pragma once

#include <QMetaType>
#include <Qt>
#include <QString>

// The database code of the row that a list entry shows. It travels as the
// entry's item data, so it lives exactly as long as its entry: removing the
// entry removes the code, and nothing is left to free.
class TObjectCode
{
public:
    TObjectCode() { ++s_live; }
    explicit TObjectCode(const QString &code) : m_code(code) { ++s_live; }
    TObjectCode(const TObjectCode &other) : m_code(other.m_code) { ++s_live; }
    TObjectCode &operator=(const TObjectCode &other) = default;
    ~TObjectCode() { --s_live; }

    QString GetCode() const { return m_code; }

    // Holders alive in the program: lets a test see that reloading lists
    // leaves none behind.
    static int liveCount() { return s_live; }

private:
    QString m_code;
    static inline int s_live = 0;
};

Q_DECLARE_METATYPE(TObjectCode)

// The item data role that carries the holder.
constexpr int ObjectCodeRole = Qt::UserRole;
