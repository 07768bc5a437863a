#include "tools/common/samplegenerator.h"
#include "tools/common/factrows.h"

#include "store/pgsession.h"
#include "store/schema.h"
#include "store/serveraddress.h"
#include "store/sqlitehandle.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryFile>

#include <algorithm>
#include <charconv>
#include <memory>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The organisation. Texts are UTF-8.

// The last sector is new and has no agency yet.
const char *const sectors[] = {
    "Secteur Nord",
    "Secteur Île-de-France",
    "Secteur Grand Est",
    "Secteur de l'Ouest",
    "Secteur Bretagne-Normandie",
    "Secteur Centre",
    "Secteur Bourgogne-Franche-Comté",
    "Secteur Rhône-Alpes",
    "Secteur d'Auvergne et du Limousin",
    "Secteur Méditerranée",
    "Secteur Sud-Ouest",
    "Secteur Grands Comptes",
};
constexpr int sectorCount = int(std::size(sectors));
// The sector whose manager keeps his old login as user code.
constexpr int legacyCodeSector = 3;

struct CityText
{
    const char *name;
    int sector;      // -1: not attached to any sector yet
    int alsoSector;  // a second sector sharing the agency, or -1
};

// The first city of each sector is its main agency.
const CityText cities[] = {
    {"Lille", 0, -1}, {"Arras", 0, -1}, {"Amiens", 0, -1}, {"Valenciennes", 0, -1},
    {"Dunkerque", 0, -1}, {"Beauvais", 0, 1}, {"Saint-Quentin", 0, -1},
    {"Paris", 1, -1}, {"Versailles", 1, -1}, {"Créteil", 1, -1}, {"Nanterre", 1, -1},
    {"Évry", 1, -1}, {"Cergy", 1, -1}, {"Meaux", 1, -1}, {"Saint-Denis", 1, -1},
    {"Strasbourg", 2, -1}, {"Metz", 2, -1}, {"Nancy", 2, -1}, {"Reims", 2, -1},
    {"Mulhouse", 2, -1}, {"Colmar", 2, -1}, {"Troyes", 2, 6}, {"Épinal", 2, -1},
    {"Nantes", 3, -1}, {"Angers", 3, -1}, {"Le Mans", 3, 5}, {"La Roche-sur-Yon", 3, -1},
    {"Les Sables-d'Olonne", 3, -1}, {"Laval", 3, -1},
    {"Rennes", 4, -1}, {"Brest", 4, -1}, {"Quimper", 4, -1}, {"Vannes", 4, -1},
    {"Saint-Brieuc", 4, -1}, {"Caen", 4, -1}, {"Rouen", 4, -1}, {"Le Havre", 4, -1},
    {"Orléans", 5, -1}, {"Tours", 5, -1}, {"Bourges", 5, -1}, {"Blois", 5, -1},
    {"Chartres", 5, -1}, {"Châteauroux", 5, -1},
    {"Dijon", 6, -1}, {"Besançon", 6, -1}, {"Auxerre", 6, -1}, {"Chalon-sur-Saône", 6, -1},
    {"Belfort", 6, -1}, {"Mâcon", 6, -1}, {"Nevers", 6, -1},
    {"Lyon", 7, -1}, {"Grenoble", 7, -1}, {"Saint-Étienne", 7, -1}, {"Annecy", 7, -1},
    {"Chambéry", 7, -1}, {"Valence", 7, 9},
    {"Clermont-Ferrand", 8, 7}, {"Limoges", 8, -1}, {"Aurillac", 8, -1},
    {"Le Puy-en-Velay", 8, -1}, {"Vichy", 8, -1}, {"Brive-la-Gaillarde", 8, -1},
    {"Marseille", 9, -1}, {"Nice", 9, -1}, {"Toulon", 9, -1}, {"Montpellier", 9, -1},
    {"Nîmes", 9, -1}, {"Avignon", 9, -1}, {"Aix-en-Provence", 9, -1}, {"Perpignan", 9, -1},
    {"Bordeaux", 10, -1}, {"Toulouse", 10, -1}, {"Pau", 10, -1}, {"Bayonne", 10, -1},
    {"Périgueux", 10, -1}, {"Angoulême", 10, -1}, {"La Rochelle", 10, -1}, {"Poitiers", 10, 3},
    {"Ajaccio", -1, -1}, {"Bastia", -1, -1}, {"Fort-de-France", -1, -1}, {"Pointe-à-Pitre", -1, -1},
};

const char *const firstNames[] = {
    "Jean", "Marie", "Pierre", "Hélène", "François", "Françoise", "Jérôme", "Céline", "Benoît",
    "Anaïs", "Loïc", "Zoé", "Gaëlle", "Noël", "Agnès", "Thérèse", "Mathéo", "Léa", "Chloé",
    "Raphaël", "Joël", "Maël", "Inès", "Clément", "Sébastien", "Stéphane", "Frédéric", "Aurélie",
    "Émilie", "Élodie", "Amélie", "Valérie", "Cécile", "Ségolène", "Jean-François", "Marie-Hélène",
    "Anne-Sophie", "Pierre-Yves", "Éric", "Rémi", "Hervé", "Michel", "Philippe", "Nathalie",
    "Isabelle", "Sylvie", "Christophe", "Laurent", "Olivier", "Nicolas", "Julien", "Camille",
    "Manon", "Lucas", "Hugo", "Théo", "Margaux", "Océane", "Gérard", "Josiane",
};

const char *const lastNames[] = {
    "Martin", "Bernard", "Dubois", "Thomas", "Robert", "Richard", "Petit", "Durand", "Leroy",
    "Moreau", "Simon", "Laurent", "Lefèvre", "Michel", "Garcia", "David", "Bertrand", "Roux",
    "Vincent", "Fournier", "Morel", "Girard", "André", "Lefebvre", "Mercier", "Dupont", "Lambert",
    "Bonnet", "François", "Martinez", "Legrand", "Garnier", "Faure", "Rousseau", "Blanc", "Guérin",
    "Muller", "Henry", "Roussel", "Nicolas", "Perrin", "Morin", "Mathieu", "Clément", "Gauthier",
    "Dumont", "Lopez", "Fontaine", "Chevalier", "Robin", "D'Artagnan", "D'Almeida", "N'Diaye",
    "L'Huillier", "D'Amico", "Le Goff", "Le Gall", "Lemaître", "Ménard", "Bénard", "Bérenger",
    "Brûlé", "Côté", "Dufrêne", "Pépin", "Hébert", "Géraud", "Desprès", "Noël", "Bréhéret",
};

const char *const legacyUserCode = "L'HERMITTE";
const char *const legacyUserName = "Jean-Luc L'Hermitte";

const char *const supplierNames[] = {
    "Menuiseries Bérard", "Établissements Lefèvre & Fils", "Aluminium de l'Atlantique",
    "Fermetures d'Armor", "Stores et Volets Dubreuil", "Carrelages du Midi", "Portails Côté Sud",
    "Isolation Générale de l'Est", "Bois & Matériaux Ménard", "Vérandas de l'Océan",
    "Quincaillerie Lhôte", "Peintures Sénéchal", "Tuiles et Briques d'Auvergne", "Sanitaires Guérin",
    "Chauffage Thermique Rhône-Alpes", "Électricité Bréhéret", "Serrurerie L'Huillier",
    "Vitrages de Normandie", "Charpentes du Jura", "Parquets Châtaignier", "Domotique Française",
    "Ascenseurs Pépin", "Toitures d'Occitanie", "Cuisines Hébert", "Climatisation Méditerranée",
    "Plâtres et Enduits Géraud", "Béton Prêt-à-l'Emploi du Centre", "Fenêtres Dufrêne",
    "Acier Côte d'Opale", "Éclairage Lumière d'Ouest", "Portes Blindées Desprès",
    "Revêtements Müller", "Piscines Azur & Soleil", "Jardins d'Hélène",
    "Outillage Professionnel Bénard", "Systèmes d'Alarme Vigie",
};

constexpr int userCount = 320;

// Activity of each calendar month, January first: summer and Christmas are
// quiet.
const double seasonality[12] = {0.90, 0.95, 1.10, 1.05, 1.00, 1.10, 0.85, 0.55, 1.10, 1.15, 1.05, 0.80};

// "Agence d'Orléans", "Agence du Havre", "Agence des Sables-d'Olonne".
QString agencyLabel(const QString &city)
{
    if (city.startsWith(QLatin1String("Le ")))
        return QStringLiteral("Agence du ") + city.mid(3);
    if (city.startsWith(QLatin1String("Les ")))
        return QStringLiteral("Agence des ") + city.mid(4);
    const QChar first = city.at(0).decompositionTag() == QChar::Canonical ? city.at(0).decomposition().at(0)
                                                                           : city.at(0);
    if (QStringLiteral("AEIOUYH").contains(first))
        return QStringLiteral("Agence d'") + city;
    return QStringLiteral("Agence de ") + city;
}

QString code(const char *prefix, int number, int digits)
{
    return QString::fromUtf8(prefix) + QStringLiteral("%1").arg(number, digits, 10, QLatin1Char('0'));
}

// ---------------------------------------------------------------------------
// Random draws. The distributions are written out here rather than taken
// from <random>, whose distributions differ between standard libraries: a
// seed gives the same database wherever the tool is built.

class Random
{
public:
    explicit Random(quint32 seed) : m_engine(seed) {}

    // 0 <= result < n
    int below(quint64 n) { return int((static_cast<unsigned __int128>(m_engine()) * n) >> 64); }
    // 0 <= result < 1
    double unit() { return double(m_engine() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }
    double normal()
    {
        const double u = 1.0 - unit();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * unit());
    }

private:
    std::mt19937_64 m_engine;
};

// Draws an index with probability proportional to its weight.
class WeightedChoice
{
public:
    explicit WeightedChoice(const std::vector<double> &weights)
    {
        double total = 0;
        for (double w : weights)
            m_cumulative.push_back(total += w);
    }

    int pick(Random &random) const
    {
        const double x = random.unit() * m_cumulative.back();
        const auto it = std::upper_bound(m_cumulative.begin(), m_cumulative.end(), x);
        return int(std::min<std::ptrdiff_t>(it - m_cumulative.begin(), std::ssize(m_cumulative) - 1));
    }

private:
    std::vector<double> m_cumulative;
};

template<typename T>
void shuffle(std::vector<T> &items, Random &random)
{
    for (int i = int(items.size()) - 1; i > 0; --i)
        std::swap(items[i], items[random.below(quint64(i) + 1)]);
}

// ---------------------------------------------------------------------------

struct Entry
{
    QByteArray code;
    QByteArray label;
};

struct User
{
    Entry entry;
    int agency = 0;
    double activity = 1.0;
    double conversion = 0.4;
};

struct Organisation
{
    std::vector<Entry> levels;
    std::vector<Entry> agencies;
    std::vector<std::pair<int, int>> links; // level, agency
    std::vector<User> users;
    std::vector<Entry> suppliers;
};

Organisation buildOrganisation(Random &random)
{
    Organisation org;

    std::vector<int> mainAgency(sectorCount, -1);
    std::vector<double> agencyWeights;
    for (int i = 0; i < int(std::size(cities)); ++i) {
        const CityText &city = cities[i];
        org.agencies.push_back({code("AG", i + 1, 3).toUtf8(), agencyLabel(QString::fromUtf8(city.name)).toUtf8()});
        const bool main = city.sector >= 0 && mainAgency[city.sector] < 0;
        if (main)
            mainAgency[city.sector] = i;
        agencyWeights.push_back(main ? 2.5 : 1.0);
    }

    // Names: distinct first and last name pairs, drawn from the seed.
    std::vector<int> pairs;
    const int lastCount = int(std::size(lastNames));
    for (int i = 0; i < int(std::size(firstNames)) * lastCount; ++i) {
        if (qstrcmp(firstNames[i / lastCount], lastNames[i % lastCount]) != 0) // no "Michel Michel"
            pairs.push_back(i);
    }
    shuffle(pairs, random);
    for (int i = 0; i < userCount; ++i) {
        const QString name = QString::fromUtf8(firstNames[pairs[i] / lastCount]) + QLatin1Char(' ')
            + QString::fromUtf8(lastNames[pairs[i] % lastCount]);
        User user;
        user.entry = {code("U", i + 1, 4).toUtf8(), name.toUtf8()};
        user.activity = 0.4 + 1.2 * random.unit();
        user.conversion = 0.25 + 0.30 * random.unit();
        org.users.push_back(user);
    }

    // Every agency has somebody; the others join an agency at random, the
    // main agencies more often.
    std::vector<int> staff;
    for (int i = 0; i < userCount; ++i)
        staff.push_back(i);
    shuffle(staff, random);
    const WeightedChoice agencyChoice(agencyWeights);
    for (int i = 0; i < userCount; ++i)
        org.users[staff[i]].agency = i < int(org.agencies.size()) ? i : agencyChoice.pick(random);

    // The sector managers: a dozen users, each in his sector's main agency
    // (the new sector's manager in Paris), selling less than the others.
    for (int s = 0; s < sectorCount; ++s) {
        User &manager = org.users[staff[userCount - 1 - s]];
        if (s == legacyCodeSector)
            manager.entry = {legacyUserCode, legacyUserName};
        manager.agency = mainAgency[s] >= 0 ? mainAgency[s] : mainAgency[1];
        manager.activity = 0.3;
        org.levels.push_back({manager.entry.code, sectors[s]});
    }

    for (int i = 0; i < int(std::size(cities)); ++i) {
        for (int sector : {cities[i].sector, cities[i].alsoSector}) {
            if (sector >= 0)
                org.links.push_back({sector, i});
        }
    }

    for (int i = 0; i < int(std::size(supplierNames)); ++i)
        org.suppliers.push_back({code("F", i + 1, 3).toUtf8(), supplierNames[i]});
    return org;
}

// An organisation of the size asked for, with numbered names: agencies
// linked in turn to the levels (every twelfth to a second one, one in fifty
// to none), users spread over the agencies, each level's manager one of
// them. Counts not given are the sample's own.
Organisation buildNumberedOrganisation(Random &random, const SampleShape &shape)
{
    const int levels = shape.levels > 0 ? shape.levels : sectorCount;
    const int agencies = shape.agencies > 0 ? shape.agencies : int(std::size(cities));
    const int users = std::max(shape.users > 0 ? shape.users : userCount, levels);
    const int suppliers = shape.suppliers > 0 ? shape.suppliers : int(std::size(supplierNames));
    Organisation org;

    for (int i = 0; i < agencies; ++i)
        org.agencies.push_back({code("AG", i + 1, 5).toUtf8(), code("Agence n°", i + 1, 5).toUtf8()});

    std::vector<int> pairs;
    const int lastCount = int(std::size(lastNames));
    for (int i = 0; i < int(std::size(firstNames)) * lastCount; ++i)
        pairs.push_back(i);
    shuffle(pairs, random);
    for (int i = 0; i < users; ++i) {
        const int pair = pairs[size_t(i) % pairs.size()];
        QString name = QString::fromUtf8(firstNames[pair / lastCount]) + QLatin1Char(' ')
            + QString::fromUtf8(lastNames[pair % lastCount]);
        if (i >= int(pairs.size()))
            name += QStringLiteral(" (%1)").arg(i / int(pairs.size()) + 1);
        User user;
        user.entry = {code("U", i + 1, 5).toUtf8(), name.toUtf8()};
        user.agency = random.below(quint64(agencies));
        user.activity = 0.4 + 1.2 * random.unit();
        user.conversion = 0.25 + 0.30 * random.unit();
        org.users.push_back(user);
    }
    for (int i = 0; i < agencies && i < users; ++i)
        org.users[size_t(i)].agency = i; // every agency has somebody

    for (int l = 0; l < levels; ++l) {
        User &manager = org.users[size_t(users - 1 - l)];
        manager.activity = 0.3;
        org.levels.push_back({manager.entry.code, code("Secteur n°", l + 1, 4).toUtf8()});
    }
    for (int a = 0; a < agencies; ++a) {
        if (a % 50 == 49)
            continue;
        org.links.push_back({a % levels, a});
        if (a % 12 == 11 && levels > 1)
            org.links.push_back({(a / 12) % levels == a % levels ? (a + 1) % levels : (a / 12) % levels, a});
    }

    for (int i = 0; i < suppliers; ++i)
        org.suppliers.push_back({code("F", i + 1, 5).toUtf8(), code("Fournisseur n°", i + 1, 5).toUtf8()});
    return org;
}

// ---------------------------------------------------------------------------
// The sample is written through the SQLite C API, without the Qt SQL layer,
// as fast as the engine allows. Messages name the file being built.

class SqliteFile
{
public:
    explicit SqliteFile(const QString &path)
        : m_path(path),
          m_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, context(QStringLiteral("Impossible de créer la base de données")))
    {
    }

    sqlite3 *handle() const { return m_db.handle(); }

    void exec(const QString &sql) { m_db.exec(sql, context(QStringLiteral("Échec de « %1 »").arg(sql))); }

    [[noreturn]] void fail(const QString &what) const { m_db.fail(context(what)); }

private:
    QString context(const QString &what) const { return QStringLiteral("%1 (%2)").arg(what, m_path); }

    QString m_path;
    SqliteConnection m_db;
};

class Insert
{
public:
    Insert(SqliteFile &file, const QString &sql) : m_file(file)
    {
        if (sqlite3_prepare_v2(file.handle(), sql.toUtf8().constData(), -1, &m_stmt, nullptr) != SQLITE_OK)
            file.fail(QStringLiteral("Échec de « %1 »").arg(sql));
    }
    ~Insert() { sqlite3_finalize(m_stmt); }
    Insert(const Insert &) = delete;
    Insert &operator=(const Insert &) = delete;

    // The text must outlive the next run().
    void bindStatic(int column, const QByteArray &text)
    {
        sqlite3_bind_text(m_stmt, column, text.constData(), int(text.size()), SQLITE_STATIC);
    }
    void bindStatic(int column, const char *text) { sqlite3_bind_text(m_stmt, column, text, -1, SQLITE_STATIC); }
    void bindCopy(int column, const char *text, int size)
    {
        sqlite3_bind_text(m_stmt, column, text, size, SQLITE_TRANSIENT);
    }
    void bind(int column, int value) { sqlite3_bind_int(m_stmt, column, value); }
    void bind(int column, double value) { sqlite3_bind_double(m_stmt, column, value); }

    // Runs the statement; the bound values stay for the next run.
    void run()
    {
        if (sqlite3_step(m_stmt) != SQLITE_DONE) {
            sqlite3_reset(m_stmt);
            m_file.fail(QStringLiteral("Échec de l'écriture"));
        }
        sqlite3_reset(m_stmt);
    }

private:
    SqliteFile &m_file;
    sqlite3_stmt *m_stmt = nullptr;
};

// ---------------------------------------------------------------------------
// Where a sample is written: a new SQLite file, or a database on a server.

class SampleTarget
{
public:
    virtual ~SampleTarget() = default;
    // A dimension table: dim_niveau, dim_agence, dim_utilisateur,
    // dim_fournisseur.
    virtual void entries(const QString &table, const std::vector<Entry> &entries) = 0;
    virtual void links(const Organisation &org) = 0;
    virtual void beginFacts() = 0;
    // The text arguments stay valid until the next call.
    virtual void fact(const char *account, int year, int month, double value, const QByteArray &agency,
                      const QByteArray &user, const QByteArray &supplier, const char *dossier, int dossierLength) = 0;
    virtual void endFacts() = 0;
};

// Rows are appended in the order of the covering index, created first.
class SqliteTarget : public SampleTarget
{
public:
    explicit SqliteTarget(SqliteFile &file) : m_file(file) {}

    void entries(const QString &table, const std::vector<Entry> &entries) override
    {
        Insert insert(m_file, QStringLiteral("INSERT INTO %1 (code, libelle) VALUES (?, ?)").arg(table));
        for (const Entry &entry : entries) {
            insert.bindStatic(1, entry.code);
            insert.bindStatic(2, entry.label);
            insert.run();
        }
    }

    void links(const Organisation &org) override
    {
        Insert link(m_file, QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (?, ?)"));
        for (const auto &[level, agency] : org.links) {
            link.bindStatic(1, org.levels[level].code);
            link.bindStatic(2, org.agencies[agency].code);
            link.run();
        }
    }

    void beginFacts() override
    {
        m_file.exec(Schema::recommendedIndex());
        m_insert = std::make_unique<Insert>(
            m_file, QStringLiteral("INSERT INTO data (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?)").arg(QLatin1String(factColumns)));
    }

    void fact(const char *account, int year, int month, double value, const QByteArray &agency,
              const QByteArray &user, const QByteArray &supplier, const char *dossier, int dossierLength) override
    {
        m_insert->bindStatic(1, account);
        m_insert->bind(2, year);
        m_insert->bind(3, month);
        m_insert->bind(4, value);
        m_insert->bindStatic(5, agency);
        m_insert->bindStatic(6, user);
        m_insert->bindStatic(7, supplier);
        m_insert->bindCopy(8, dossier, dossierLength);
        m_insert->run();
    }

    void endFacts() override
    {
        m_insert.reset();
        m_file.exec(QStringLiteral("ANALYZE"));
    }

private:
    SqliteFile &m_file;
    std::unique_ptr<Insert> m_insert;
};

// COPY in PostgreSQL's text format; the index is built once the facts are
// in, which is faster there than growing it row by row.
class ServerTarget : public SampleTarget
{
public:
    explicit ServerTarget(PgSession &session) : m_session(session) {}

    void entries(const QString &table, const std::vector<Entry> &entries) override
    {
        m_session.copyStart(QStringLiteral("COPY %1 (code, libelle) FROM STDIN").arg(table));
        QByteArray rows;
        for (const Entry &entry : entries)
            row(rows, {entry.code, entry.label});
        m_session.copyRows(rows);
        m_session.copyEnd();
    }

    void links(const Organisation &org) override
    {
        m_session.copyStart(QStringLiteral("COPY niveau_agence (niveau, agence) FROM STDIN"));
        QByteArray rows;
        for (const auto &[level, agency] : org.links)
            row(rows, {org.levels[level].code, org.agencies[agency].code});
        m_session.copyRows(rows);
        m_session.copyEnd();
    }

    void beginFacts() override
    {
        m_session.copyStart(QStringLiteral("COPY data (%1) FROM STDIN").arg(QLatin1String(factColumns)));
        m_buffer.reserve(BufferSize + 1024);
    }

    void fact(const char *account, int year, int month, double value, const QByteArray &agency,
              const QByteArray &user, const QByteArray &supplier, const char *dossier, int dossierLength) override
    {
        appendCopyFact(m_buffer, account, year, month, value, agency, user, supplier,
                       QByteArrayView(dossier, dossierLength));
        if (m_buffer.size() >= BufferSize) {
            m_session.copyRows(m_buffer);
            m_buffer.clear();
        }
    }

    void endFacts() override
    {
        m_session.copyRows(m_buffer);
        m_buffer.clear();
        m_session.copyEnd();
        m_session.exec(Schema::recommendedIndex(), QStringLiteral("Création de l'index"));
    }

private:
    static constexpr qsizetype BufferSize = 1 << 20;

    static void row(QByteArray &rows, std::initializer_list<QByteArray> values)
    {
        bool first = true;
        for (const QByteArray &value : values) {
            if (!first)
                rows += '\t';
            first = false;
            PgSession::copyField(rows, value.constData(), value.size());
        }
        rows += '\n';
    }

    PgSession &m_session;
    QByteArray m_buffer;
};

// ---------------------------------------------------------------------------
// The facts: quote files ("dossiers"), each written as the rows of its
// accounts. The rows are shared out among the months first; each month is
// then drawn, sorted in the order of the covering index and appended, so the
// index grows at its end instead of being sorted afterwards: ten million
// rows take a fraction of the time, and memory holds one month at a time.

// The six accounts of the tracking table, then those it does not read.
enum Account : quint8 { HT, TVA, Marge, Relances, Dossiers, Commandes, Appels };
const char *const otherAccounts[] = {"NB_APPELS", "NB_VISITES", "NB_RENDEZ_VOUS", "NB_RECLAMATIONS"};

std::vector<QByteArray> accountCodesFor(int extra)
{
    // The table's six, in the order of its accounts, then the others.
    std::vector<QByteArray> codes;
    for (const QString &code : Schema::accountCodes() + SampleGenerator::extraAccounts(extra))
        codes.push_back(code.toUtf8());
    return codes;
}
// The four rows every quote has: amount, tax, margin, one file.
constexpr int quoteRows = 4;

struct Fact
{
    double value;
    qint32 dossier;
    quint16 agency;
    quint16 user;
    quint16 supplier;
    quint8 account;
};

template<typename T>
std::vector<int> codeRanks(const std::vector<T> &items, QByteArray (*codeOf)(const T &))
{
    std::vector<QByteArray> codes;
    for (const T &item : items)
        codes.push_back(codeOf(item));
    return textRanks(codes);
}

// Shares `rows` among the months by weight, largest remainders first.
std::vector<qint64> shareRows(qint64 rows, const std::vector<double> &weights)
{
    const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
    std::vector<qint64> share(weights.size());
    std::vector<std::pair<double, int>> remainders;
    qint64 given = 0;
    for (int i = 0; i < int(weights.size()); ++i) {
        const double exact = double(rows) * weights[i] / total;
        share[i] = std::min<qint64>(qint64(exact), rows - given);
        given += share[i];
        remainders.push_back({exact - double(share[i]), i});
    }
    std::stable_sort(remainders.begin(), remainders.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (int i = 0; given < rows; i = (i + 1) % int(remainders.size()), ++given)
        ++share[remainders[i].second];
    return share;
}

class FactWriter
{
public:
    FactWriter(SampleTarget &target, const Organisation &org, Random &random, int extraAccounts)
        : m_target(target),
          m_org(org),
          m_random(random),
          m_userChoice(userWeights(org)),
          m_supplierChoice(supplierWeights(org)),
          m_accounts(accountCodesFor(extraAccounts))
    {
        m_accountRank = textRanks(m_accounts);
        m_agencyRank = codeRanks<Entry>(org.agencies, [](const Entry &e) { return e.code; });
        m_userRank = codeRanks<User>(org.users, [](const User &u) { return u.entry.code; });
        m_supplierRank = codeRanks<Entry>(org.suppliers, [](const Entry &e) { return e.code; });
    }

    void writeMonth(const QDate &month, qint64 rows)
    {
        m_facts.clear();
        m_facts.reserve(size_t(rows));
        while (qint64(m_facts.size()) < rows)
            drawFile(rows);
        std::sort(m_facts.begin(), m_facts.end(), [this](const Fact &a, const Fact &b) { return indexOrder(a, b); });

        char dossier[32];
        for (const Fact &fact : m_facts) {
            const int length = std::snprintf(dossier, sizeof dossier, "DV%02d%02d-%07d", month.year() % 100,
                                             month.month(), fact.dossier);
            m_target.fact(m_accounts[fact.account].constData(), month.year(), month.month(), fact.value,
                          m_org.agencies[fact.agency].code, m_org.users[fact.user].entry.code,
                          m_org.suppliers[fact.supplier].code, dossier, length);
        }
    }

private:
    static std::vector<double> userWeights(const Organisation &org)
    {
        std::vector<double> weights;
        for (const User &user : org.users)
            weights.push_back(user.activity);
        return weights;
    }

    // A few suppliers take most of the business.
    static std::vector<double> supplierWeights(const Organisation &org)
    {
        std::vector<double> weights;
        for (int i = 0; i < int(org.suppliers.size()); ++i)
            weights.push_back(1.0 / std::pow(i + 1.0, 0.8));
        return weights;
    }

    bool indexOrder(const Fact &a, const Fact &b) const
    {
        const auto key = [this](const Fact &f) {
            return std::tuple(m_agencyRank[f.agency], m_accountRank[f.account], m_userRank[f.user],
                              m_supplierRank[f.supplier], f.value);
        };
        return key(a) < key(b);
    }

    // One quote file of the month, within the month's `rows`.
    void drawFile(qint64 rows)
    {
        const int userIndex = m_userChoice.pick(m_random);
        const User &user = m_org.users[userIndex];
        Fact fact{};
        fact.dossier = ++m_dossier;
        fact.user = quint16(userIndex);
        fact.agency = quint16(m_random.chance(0.92) ? user.agency : m_random.below(m_org.agencies.size()));
        fact.supplier = quint16(m_supplierChoice.pick(m_random));
        const auto add = [&](int account, double value) {
            if (qint64(m_facts.size()) >= rows)
                return;
            fact.account = account;
            fact.value = value;
            m_facts.push_back(fact);
        };

        if (rows - qint64(m_facts.size()) < quoteRows) {
            // Too few rows left for a whole quote: calls on a file not yet
            // quoted (reminders when no account of calls is kept).
            while (qint64(m_facts.size()) < rows)
                add(m_accounts.size() > Appels ? Appels : Relances, 1 + m_random.below(3));
            return;
        }

        // Amount excluding tax: log-normal around 2 800 €, in cents.
        const double amount = std::clamp(std::exp(std::log(2800.0) + 0.9 * m_random.normal()), 50.0, 250000.0);
        const qint64 htCents = std::llround(amount * 100.0);
        const qint64 tvaCents = (htCents * 20 + 50) / 100;
        // Margin rate: usually 12 to 37 %, now and then a loss.
        const double rate = m_random.chance(0.06) ? -0.15 * m_random.unit() : 0.12 + 0.25 * m_random.unit();
        const qint64 margeCents = std::llround(double(htCents) * rate);
        const double u = m_random.unit();
        const int relances = u < 0.45 ? 0 : u < 0.75 ? 1 : u < 0.90 ? 2 : u < 0.97 ? 3 : 4;
        const bool ordered = m_random.chance(user.conversion);
        const int calls = m_random.chance(0.3) ? 1 + m_random.below(5) : 0;

        add(HT, double(htCents) / 100.0);
        add(TVA, double(tvaCents) / 100.0);
        add(Marge, double(margeCents) / 100.0);
        add(Dossiers, 1);
        if (ordered)
            add(Commandes, 1);
        if (relances > 0)
            add(Relances, relances);
        if (calls > 0 && m_accounts.size() > Appels)
            add(Appels, calls);
        // The other accounts the table does not read: every other file.
        for (int extra = Appels + 1; extra < int(m_accounts.size()); ++extra)
            if (m_random.chance(0.5))
                add(extra, 1 + m_random.below(3));
    }

    SampleTarget &m_target;
    const Organisation &m_org;
    Random &m_random;
    const WeightedChoice m_userChoice;
    const WeightedChoice m_supplierChoice;
    const std::vector<QByteArray> m_accounts;
    std::vector<int> m_accountRank, m_agencyRank, m_userRank, m_supplierRank;
    std::vector<Fact> m_facts;
    qint32 m_dossier = 0;
};

// Writes `rows` fact rows over the months from `firstMonth`; the months
// weigh their season and a steady growth over the two years.
qint64 writeFacts(SampleTarget &target, const Organisation &org, const QDate &firstMonth, qint64 rows, Random &random,
                  int extraAccounts)
{
    std::vector<double> weights;
    for (int i = 0; i < SampleGenerator::Months; ++i) {
        const int calendarMonth = firstMonth.addMonths(i).month();
        weights.push_back(seasonality[calendarMonth - 1] * (1.0 + 0.08 * i / (SampleGenerator::Months - 1)));
    }
    const std::vector<qint64> share = shareRows(rows, weights);
    FactWriter writer(target, org, random, extraAccounts);
    target.beginFacts();
    for (int i = 0; i < SampleGenerator::Months; ++i)
        writer.writeMonth(firstMonth.addMonths(i), share[i]);
    target.endFacts();
    return rows;
}

SampleSummary startSummary(const SampleOptions &options, const QString &where)
{
    const QDate lastMonth = options.lastMonth.isValid() ? options.lastMonth : QDate::currentDate();
    SampleSummary summary;
    summary.path = where;
    summary.lastMonth = QDate(lastMonth.year(), lastMonth.month(), 1);
    summary.firstMonth = summary.lastMonth.addMonths(1 - SampleGenerator::Months);
    return summary;
}

void fill(SampleTarget &target, const SampleOptions &options, SampleSummary &summary)
{
    Random random(options.seed);
    const Organisation org =
        options.shape.numbered() ? buildNumberedOrganisation(random, options.shape) : buildOrganisation(random);
    target.entries(QStringLiteral("dim_niveau"), org.levels);
    target.entries(QStringLiteral("dim_agence"), org.agencies);
    std::vector<Entry> users;
    for (const User &user : org.users)
        users.push_back(user.entry);
    target.entries(QStringLiteral("dim_utilisateur"), users);
    target.entries(QStringLiteral("dim_fournisseur"), org.suppliers);
    target.links(org);
    summary.facts = writeFacts(target, org, summary.firstMonth, options.rows, random, options.shape.extraAccounts);

    summary.levels = int(org.levels.size());
    summary.agencies = int(org.agencies.size());
    summary.links = int(org.links.size());
    summary.users = int(org.users.size());
    summary.suppliers = int(org.suppliers.size());
}

const QStringList sampleTables = Schema::tableNames();

QString fileError(const QString &path, const QString &why)
{
    return QStringLiteral("Impossible de créer le fichier %1 : %2").arg(path, why);
}

QString existsMessage(const QString &path)
{
    return QStringLiteral("Le fichier %1 existe déjà ; il n'a pas été modifié.").arg(path);
}

} // namespace

QStringList SampleGenerator::extraAccounts(int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << (i < int(std::size(otherAccounts)) ? QString::fromLatin1(otherAccounts[i])
                                                  : QStringLiteral("NB_AUTRE_%1").arg(i + 1, 2, 10, QLatin1Char('0')));
    return out;
}

QString SampleSummary::text() const
{
    const QLocale french(QLocale::French, QLocale::France);
    return QStringLiteral("Base d'exemple créée : %1 (%2 niveaux, %3 agences, %4 liens niveau-agence, "
                          "%5 utilisateurs, %6 fournisseurs, %7 lignes de faits de %8 à %9)")
        .arg(path)
        .arg(levels)
        .arg(agencies)
        .arg(links)
        .arg(users)
        .arg(suppliers)
        .arg(french.toString(facts))
        .arg(firstMonth.toString(QStringLiteral("MM/yyyy")), lastMonth.toString(QStringLiteral("MM/yyyy")));
}

SampleGenerator::SampleGenerator(SampleOptions options) : m_options(std::move(options))
{
}

// On a server the tables are written in one transaction: until it commits,
// other sessions see the old tables (or none), and a failure leaves them as
// they were. The maintenance afterwards sets the visibility map, so that
// the figures are read from the index alone, and the statistics.
SampleSummary SampleGenerator::runOnServer()
{
    const ServerAddress address = ServerAddress::parse(m_options.path);
    PgSession session(address);
    SampleSummary summary = startSummary(m_options, address.display());

    QStringList names;
    for (const QString &table : sampleTables)
        names << QStringLiteral("'%1'").arg(table);
    const QString existing = session.scalar(
        QStringLiteral("SELECT string_agg(t.name, ', ' ORDER BY t.name) FROM unnest(ARRAY[%1]) AS t(name) "
                       "WHERE to_regclass(t.name) IS NOT NULL")
            .arg(names.join(QStringLiteral(", "))));
    if (!existing.isEmpty() && !m_options.force)
        throw ESampleFileExists(QStringLiteral("La base %1 contient déjà des tables d'Orvalis (%2) ; elle n'a pas été "
                                               "modifiée.")
                                    .arg(address.display(), existing));

    session.exec(QStringLiteral("BEGIN"), QStringLiteral("Début de la transaction"));
    // The commit is flushed before the maintenance reads the rows: only
    // then may it mark their pages visible to all.
    session.exec(QStringLiteral("SET LOCAL synchronous_commit = on"), QStringLiteral("Début de la transaction"));
    if (!existing.isEmpty())
        session.exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(sampleTables.join(QStringLiteral(", "))),
                     QStringLiteral("Suppression des tables existantes"));
    for (const QString &sql : Schema::createTables())
        session.exec(sql, QStringLiteral("Création des tables"));
    ServerTarget server(session);
    fill(server, m_options, summary);
    session.exec(QStringLiteral("COMMIT"), QStringLiteral("Validation de la transaction"));
    session.exec(QStringLiteral("VACUUM ANALYZE %1").arg(sampleTables.join(QStringLiteral(", "))),
                 QStringLiteral("Entretien des tables"));
    return summary;
}

SampleSummary SampleGenerator::run()
{
    const QString path = m_options.path;
    if (path.isEmpty())
        throw EDatabaseError(QStringLiteral("Aucun fichier de base de données n'est indiqué."));
    if (m_options.rows < 0)
        throw EDatabaseError(QStringLiteral("Le nombre de lignes de faits ne peut pas être négatif."));
    const SampleShape &shape = m_options.shape;
    // 0 is the sample's own count.
    for (const SampleCount &count : sampleCounts) {
        const int value = shape.*(count.field);
        if (value == 0 || (value >= count.minimum && value <= count.maximum))
            continue;
        if (count.field == &SampleShape::extraAccounts)
            throw EDatabaseError(QStringLiteral("Le nombre de comptes supplémentaires va de 0 à %1.").arg(count.maximum));
        throw EDatabaseError(QStringLiteral("Les niveaux, agences, utilisateurs et fournisseurs se comptent de 1 à %1.")
                                 .arg(count.maximum));
    }
    if (ServerAddress::isServerName(path))
        return runOnServer();

    const QFileInfo target(path);
    if (target.exists() || target.isSymLink()) {
        if (!m_options.force)
            throw ESampleFileExists(existsMessage(path));
        if (!target.isFile())
            throw EDatabaseError(QStringLiteral("%1 n'est pas un fichier : il ne sera pas remplacé.").arg(path));
    }

    SampleSummary summary = startSummary(m_options, path);

    // Built under a temporary name beside the target; removed on failure.
    QTemporaryFile part(path + QStringLiteral(".XXXXXX"));
    if (!part.open())
        throw EDatabaseError(fileError(path, part.errorString()));
    part.close();
    part.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                        | QFile::ReadGroup | QFile::ReadOther);

    {
        SqliteFile file(part.fileName());
        // Nothing to protect while the file is built: no journal, no sync.
        file.exec(QStringLiteral("PRAGMA journal_mode = OFF"));
        file.exec(QStringLiteral("PRAGMA synchronous = OFF"));
        file.exec(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE"));
        file.exec(QStringLiteral("PRAGMA cache_size = -65536"));
        file.exec(QStringLiteral("BEGIN"));
        for (const QString &sql : Schema::createTables())
            file.exec(sql);

        SqliteTarget sqlite(file);
        fill(sqlite, m_options, summary);
        file.exec(QStringLiteral("COMMIT"));
    }

    if (!m_options.force && QFileInfo::exists(path))
        throw ESampleFileExists(existsMessage(path));
    // A journal left beside an old file of that name would be played back
    // into the new one at its first opening.
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
    if (m_options.force) {
        // rename() replaces the old file in one step: it is never lost
        // without the new one in its place.
        if (std::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
            throw EDatabaseError(fileError(path, QString::fromLocal8Bit(std::strerror(errno))));
    } else if (!part.rename(path)) {
        if (QFileInfo::exists(path))
            throw ESampleFileExists(existsMessage(path));
        throw EDatabaseError(fileError(path, part.errorString()));
    }
    part.setAutoRemove(false);
    return summary;
}
