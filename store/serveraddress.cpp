#include "store/serveraddress.h"

#include "store/dberror.h"
#include "store/serverlimits.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <libpq-fe.h>

#include <memory>

namespace {

const QString PasswordRefused = QStringLiteral(
    "L'adresse du serveur ne doit pas contenir de mot de passe : la ligne de commande est visible de tous les "
    "utilisateurs de la machine. Indiquez le mot de passe dans la variable d'environnement PGPASSWORD ou dans le "
    "fichier ~/.pgpass (%APPDATA%\\postgresql\\pgpass.conf sous Windows).");

[[noreturn]] void refuse(const QString &why)
{
    throw EDatabaseError(QStringLiteral("Adresse de serveur PostgreSQL inutilisable : %1").arg(why));
}

bool isUri(const QString &name)
{
    return name.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)
        || name.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

// libpq's own keywords (host, dbname, sslmode, ...).
const QSet<QString> &libpqKeywords()
{
    static const QSet<QString> keywords = [] {
        QSet<QString> set;
        PQconninfoOption *defaults = PQconndefaults();
        for (PQconninfoOption *option = defaults; option && option->keyword; ++option)
            set.insert(QString::fromUtf8(option->keyword));
        PQconninfoFree(defaults);
        return set;
    }();
    return keywords;
}

// Whether a name libpq could not read mentions a password, so that the
// message about it is the password's: after the user in a URI, or as a
// parameter of either form.
bool mentionsPassword(const QString &name)
{
    if (isUri(name)) {
        QString rest = name.mid(name.indexOf(QLatin1String("://")) + 3);
        const qsizetype question = rest.indexOf(QLatin1Char('?'));
        const QString query = question < 0 ? QString() : rest.mid(question + 1);
        static const QRegularExpression authorityEnd(QStringLiteral("[/?]"));
        const qsizetype end = rest.indexOf(authorityEnd);
        const QString authority = end < 0 ? rest : rest.left(end);
        const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
        if (at >= 0 && authority.left(at).contains(QLatin1Char(':')))
            return true;
        for (const QString &pair : query.split(QLatin1Char('&'))) {
            const QString keyword = QUrl::fromPercentEncoding(pair.section(QLatin1Char('='), 0, 0).toUtf8());
            if (keyword.trimmed().compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }
    static const QRegularExpression keyword(QStringLiteral("(^|\\s)password\\s*="),
                                            QRegularExpression::CaseInsensitiveOption);
    return keyword.match(name).hasMatch();
}

// libpq's reason for not reading an address, in French. libpq gives it in
// the users' language (English or French here), so each kind is known by
// both texts. Only a parameter's name is ever repeated: a value, or the
// address itself, may hold a password.
QString reasonOf(const QString &libpqMessage)
{
    struct Kind
    {
        const char *english;
        const char *french;
        const char *reason; // %1: what the pattern's first group caught
    };
    static const Kind kinds[] = {
        {R"re(^invalid URI query parameter: "(.*)")re", R"re(^paramètre de la requête URI invalide : « (.*) »)re",
         "paramètre inconnu : « %1 »"},
        {R"re(^invalid connection option "(.*)")re", R"re(^option de connexion « (.*) » invalide)re",
         "paramètre inconnu : « %1 »"},
        {R"re(^extra key/value separator "=" in URI query parameter: "(.*)")re",
         R"re(^séparateur « = » de clé/valeur en trop dans le paramètre de requête URI : « (.*) »)re",
         "le paramètre « %1 » a deux signes ="},
        {R"re(^missing key/value separator "=")re", R"re(^séparateur « = » de clé/valeur manquant)re",
         "un paramètre n'a pas de signe = (paramètre=valeur)"},
        {R"re(matching "\]" in IPv6 host address)re", R"re(« \] » correspondant)re",
         "crochet fermant manquant après une adresse IPv6"},
        {R"re(^IPv6 host address may not be empty)re", R"re(^l'adresse IPv6 de l'hôte ne peut pas être vide)re",
         "adresse IPv6 vide entre crochets"},
        {R"re(^unexpected character "(.)")re", R"re(^caractère « (.) » inattendu)re",
         "« %1 » n'a pas sa place dans un nom de serveur"},
        {R"re(percent-encoded)re", R"re(en pourcentage)re",
         "un code %XX n'est pas valide (deux chiffres hexadécimaux, jamais %00)"},
        {R"re(^missing "=" after)re", R"re(^« = » manquant après)re", "un mot n'est pas suivi de = (paramètre=valeur)"},
        {R"re(^unterminated quoted string)re", R"re(^guillemets non refermés)re",
         "une apostrophe ouvre une valeur sans la fermer"},
    };
    const QString message = libpqMessage.trimmed();
    for (const Kind &kind : kinds) {
        for (const char *pattern : {kind.english, kind.french}) {
            const QRegularExpressionMatch m = QRegularExpression(QString::fromUtf8(pattern)).match(message);
            if (m.hasMatch())
                return QString::fromUtf8(kind.reason).replace(QLatin1String("%1"), m.captured(1));
        }
    }
    return QStringLiteral("libpq ne sait pas la lire");
}

struct FreeOptions
{
    void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};

QString hostsOf(const QString &hosts, const QString &ports)
{
    const QStringList names = hosts.split(QLatin1Char(','));
    const QStringList numbers = ports.isEmpty() ? QStringList() : ports.split(QLatin1Char(','));
    QStringList out;
    for (qsizetype i = 0; i < std::max(names.size(), numbers.size()); ++i) {
        const QString name = i < names.size() ? names.at(i) : QString();
        QString text = name.contains(QLatin1Char(':')) ? QLatin1Char('[') + name + QLatin1Char(']')
                                                       : QString::fromUtf8(QUrl::toPercentEncoding(name));
        const QString port = i < numbers.size() ? numbers.at(i) : QString();
        if (!port.isEmpty())
            text += QLatin1Char(':') + port;
        out << text;
    }
    return out.join(QLatin1Char(','));
}

const QStringList AddressKeywords{QStringLiteral("host"), QStringLiteral("port"), QStringLiteral("dbname"),
                                  QStringLiteral("user")};

} // namespace

bool ServerAddress::isServerName(const QString &name)
{
    if (isUri(name))
        return true;
    // libpq's other form, "host=... dbname=...": a file is never named so.
    static const QRegularExpression first(QStringLiteral("^\\s*([a-z_]+)\\s*="));
    const QRegularExpressionMatch m = first.match(name);
    return m.hasMatch() && libpqKeywords().contains(m.captured(1));
}

ServerAddress ServerAddress::parse(const QString &name)
{
    if (!isServerName(name))
        refuse(QStringLiteral("elle doit commencer par postgresql:// ou postgres://"));
    // libpq would take it into the database's name.
    if (isUri(name) && name.contains(QLatin1Char('#')))
        refuse(QStringLiteral("le caractère # n'y a pas de sens"));

    char *error = nullptr;
    const std::unique_ptr<PQconninfoOption, FreeOptions> options(PQconninfoParse(name.toUtf8().constData(), &error));
    if (!options) {
        const QString message = error ? QString::fromUtf8(error) : QString();
        PQfreemem(error);
        if (mentionsPassword(name))
            throw EDatabaseError(PasswordRefused);
        refuse(message.isEmpty() ? QStringLiteral("mémoire insuffisante pour la lire") : reasonOf(message));
    }

    QList<QPair<QString, QString>> given;
    for (const PQconninfoOption *option = options.get(); option->keyword; ++option) {
        if (!option->val)
            continue;
        const QString keyword = QString::fromUtf8(option->keyword);
        if (keyword == QLatin1String("password"))
            throw EDatabaseError(PasswordRefused);
        given << qMakePair(keyword, QString::fromUtf8(option->val));
    }

    ServerAddress address;
    address.m_scheme = isUri(name) ? name.left(name.indexOf(QLatin1String("://"))).toLower() : QStringLiteral("postgresql");
    // Host, port, database and user first, then the others in libpq's order.
    auto &parameters = address.m_parameters;
    for (const QString &keyword : AddressKeywords) {
        for (const auto &pair : std::as_const(given))
            if (pair.first == keyword && !pair.second.isEmpty())
                parameters << pair;
    }
    for (const auto &pair : std::as_const(given)) {
        if (!AddressKeywords.contains(pair.first)) {
            parameters << pair;
            address.m_options << pair;
        }
    }

    // libpq reads the ports only when it connects.
    for (const QString &port : address.parameter(QStringLiteral("port")).split(QLatin1Char(','))) {
        bool ok = false;
        const int number = port.toInt(&ok);
        if (!port.isEmpty() && (!ok || number <= 0 || number > 65535))
            refuse(QStringLiteral("port invalide : « %1 »").arg(port));
    }
    // Qt's driver reads ';' as a separator of its own options.
    for (const auto &[keyword, value] : std::as_const(parameters)) {
        if (value.contains(QLatin1Char(';')))
            refuse(QStringLiteral("la valeur du paramètre %1 contient un point-virgule").arg(keyword));
    }

    // The time limits of every connection, where the address sets none.
    ServerLimits::addConnectionDefaults(parameters);
    // The administrator sees who is connected in pg_stat_activity.
    if (address.parameter(QStringLiteral("fallback_application_name")).isNull()) {
        const QString program = QCoreApplication::applicationName();
        parameters << qMakePair(QStringLiteral("fallback_application_name"),
                                program.isEmpty() ? QStringLiteral("orvalis") : program);
    }

    address.m_display = address.rebuild(address.parameter(QStringLiteral("user")),
                                        address.parameter(QStringLiteral("dbname")));
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
    for (const auto &[keyword, value] : m_parameters) {
        QString quoted = value;
        quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        quoted.replace(QLatin1Char('\''), QLatin1String("\\'"));
        parts << keyword + QStringLiteral("='") + quoted + QLatin1Char('\'');
    }
    return parts.join(QLatin1Char(' '));
}

QString ServerAddress::rebuild(const QString &user, const QString &database) const
{
    QString out = m_scheme + QStringLiteral("://");
    if (!user.isEmpty())
        out += QString::fromUtf8(QUrl::toPercentEncoding(user)) + QLatin1Char('@');
    out += hostsOf(parameter(QStringLiteral("host")), parameter(QStringLiteral("port")));
    if (!database.isEmpty())
        out += QLatin1Char('/') + QString::fromUtf8(QUrl::toPercentEncoding(database));
    return out;
}

QString ServerAddress::withOptions(const QString &uri) const
{
    QStringList query;
    for (const auto &[keyword, value] : m_options)
        query << keyword + QLatin1Char('=') + QString::fromUtf8(QUrl::toPercentEncoding(value));
    return query.isEmpty() ? uri : uri + QLatin1Char('?') + query.join(QLatin1Char('&'));
}

QString ServerAddress::withUser(const QString &user) const
{
    return withOptions(rebuild(user, parameter(QStringLiteral("dbname"))));
}

QString ServerAddress::withDatabase(const QString &database) const
{
    return withOptions(rebuild(parameter(QStringLiteral("user")), database));
}
