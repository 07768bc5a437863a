#include "store/serveraddress.h"

#include "store/dberror.h"
#include "store/serverlimits.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace {

const QString PasswordRefused = QStringLiteral(
    "L'adresse du serveur ne doit pas contenir de mot de passe : la ligne de commande est visible de tous les "
    "utilisateurs de la machine. Indiquez le mot de passe dans la variable d'environnement PGPASSWORD ou dans le "
    "fichier ~/.pgpass (%APPDATA%\\postgresql\\pgpass.conf sous Windows).");

[[noreturn]] void refuse(const QString &why)
{
    throw EDatabaseError(QStringLiteral("Adresse de serveur PostgreSQL inutilisable : %1").arg(why));
}

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// A value of a libpq connection string, between single quotes.
QString quoted(const QString &value)
{
    QString out = value;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

struct Host
{
    QString name;
    QString port;
};

Host parseHost(const QString &hostText)
{
    Host host;
    QString rest = hostText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype end = rest.indexOf(QLatin1Char(']'));
        if (end < 0)
            refuse(QStringLiteral("crochet fermant manquant dans « %1 »").arg(hostText));
        host.name = rest.mid(1, end - 1);
        rest = rest.mid(end + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            refuse(QStringLiteral("« %1 » n'est pas un nom de serveur").arg(hostText));
        host.port = rest.mid(1);
    } else {
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        host.name = decoded(colon < 0 ? rest : rest.left(colon));
        host.port = colon < 0 ? QString() : rest.mid(colon + 1);
    }
    if (!host.port.isEmpty()) {
        bool ok = false;
        const int port = host.port.toInt(&ok);
        if (!ok || port <= 0 || port > 65535)
            refuse(QStringLiteral("port invalide : « %1 »").arg(host.port));
    }
    return host;
}

} // namespace

bool ServerAddress::isServerName(const QString &name)
{
    return name.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)
        || name.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

ServerAddress ServerAddress::parse(const QString &name)
{
    if (!isServerName(name))
        refuse(QStringLiteral("elle doit commencer par postgresql:// ou postgres://"));
    ServerAddress address;
    const qsizetype schemeEnd = name.indexOf(QLatin1String("://"));
    address.m_scheme = name.left(schemeEnd).toLower();
    QString rest = name.mid(schemeEnd + 3);
    if (rest.contains(QLatin1Char('#')))
        refuse(QStringLiteral("le caractère # n'y a pas de sens"));

    const qsizetype question = rest.indexOf(QLatin1Char('?'));
    if (question >= 0) {
        address.m_query = rest.mid(question + 1);
        rest = rest.left(question);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    const QString database = slash < 0 ? QString() : decoded(rest.mid(slash + 1));
    QString authority = slash < 0 ? rest : rest.left(slash);

    QString user;
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        if (userInfo.contains(QLatin1Char(':')))
            throw EDatabaseError(PasswordRefused);
        user = decoded(userInfo);
        authority = authority.mid(at + 1);
    }
    address.m_hosts = authority;

    QStringList names;
    QStringList ports;
    bool anyPort = false;
    if (!authority.isEmpty()) {
        for (const QString &hostText : authority.split(QLatin1Char(','))) {
            const Host host = parseHost(hostText);
            names << host.name;
            ports << host.port;
            anyPort = anyPort || !host.port.isEmpty();
        }
    }

    auto &parameters = address.m_parameters;
    if (!names.isEmpty() && !names.join(QString()).isEmpty())
        parameters << qMakePair(QStringLiteral("host"), names.join(QLatin1Char(',')));
    if (anyPort)
        parameters << qMakePair(QStringLiteral("port"), ports.join(QLatin1Char(',')));
    if (!database.isEmpty())
        parameters << qMakePair(QStringLiteral("dbname"), database);
    if (!user.isEmpty())
        parameters << qMakePair(QStringLiteral("user"), user);

    if (!address.m_query.isEmpty()) {
        for (const QString &pair : address.m_query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            const QString keyword = decoded(equals < 0 ? pair : pair.left(equals)).trimmed();
            const QString value = equals < 0 ? QString() : decoded(pair.mid(equals + 1));
            if (keyword.compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
                throw EDatabaseError(PasswordRefused);
            if (keyword.isEmpty() || keyword.contains(QRegularExpression(QStringLiteral("[^a-z0-9_]"))))
                refuse(QStringLiteral("paramètre inconnu : « %1 »").arg(keyword));
            parameters << qMakePair(keyword, value);
        }
    }
    // Qt's driver reads ';' as a separator of its own options.
    for (const auto &[keyword, value] : std::as_const(parameters)) {
        if (value.contains(QLatin1Char(';')))
            refuse(QStringLiteral("la valeur du paramètre %1 contient un point-virgule").arg(keyword));
    }

    // The time limits of every connection, where the address sets none.
    ServerLimits::addConnectionDefaults(parameters);
    // The administrator sees who is connected in pg_stat_activity.
    const QString program = QCoreApplication::applicationName();
    parameters << qMakePair(QStringLiteral("fallback_application_name"),
                            program.isEmpty() ? QStringLiteral("orvalis") : program);

    address.m_display = address.rebuild(user, database);
    return address;
}

QString ServerAddress::parameter(const QString &keyword) const
{
    for (const auto &[key, value] : m_parameters) {
        if (key == keyword)
            return value.isNull() ? QLatin1String("") : value;
    }
    return QString();
}

QString ServerAddress::connectionString() const
{
    QStringList parts;
    for (const auto &[keyword, value] : m_parameters)
        parts << keyword + QLatin1Char('=') + quoted(value);
    return parts.join(QLatin1Char(' '));
}

QString ServerAddress::rebuild(const QString &user, const QString &database) const
{
    QString out = m_scheme + QStringLiteral("://");
    if (!user.isEmpty())
        out += QString::fromUtf8(QUrl::toPercentEncoding(user)) + QLatin1Char('@');
    out += m_hosts;
    if (!database.isEmpty())
        out += QLatin1Char('/') + QString::fromUtf8(QUrl::toPercentEncoding(database));
    return out;
}

QString ServerAddress::withUser(const QString &user) const
{
    const QString uri = rebuild(user, parameter(QStringLiteral("dbname")));
    return m_query.isEmpty() ? uri : uri + QLatin1Char('?') + m_query;
}

QString ServerAddress::withDatabase(const QString &database) const
{
    const QString uri = rebuild(parameter(QStringLiteral("user")), database);
    return m_query.isEmpty() ? uri : uri + QLatin1Char('?') + m_query;
}
