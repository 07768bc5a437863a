#include "repair/repair.h"

#include "store/schema.h"

namespace KnownTables {

namespace {

const Schema::Table *find(const QString &name)
{
    for (const Schema::Table &table : Schema::tables())
        if (table.name.compare(name, Qt::CaseInsensitive) == 0)
            return &table;
    return nullptr;
}

int columnOf(const char *name)
{
    const Schema::Table *data = find(QStringLiteral("data"));
    for (int i = 0; i < data->columns.size(); ++i)
        if (data->columns[i].name == QLatin1String(name))
            return i;
    return -1;
}

} // namespace

QString tableDefinition(const QString &name)
{
    const QStringList names = Schema::tableNames();
    const QStringList statements = Schema::createTables();
    for (int i = 0; i < names.size(); ++i)
        if (names[i].compare(name, Qt::CaseInsensitive) == 0)
            return statements[i];
    return {};
}

QString indexDefinition(const QString &name)
{
    if (name.compare(Schema::recommendedIndexName(), Qt::CaseInsensitive) == 0)
        return Schema::recommendedIndex();
    if (name.compare(Schema::accountFirstIndexName(), Qt::CaseInsensitive) == 0)
        return Schema::accountFirstIndex();
    return {};
}

int columnCount(const QString &name)
{
    const Schema::Table *table = find(name);
    return table ? int(table->columns.size()) : 0;
}

QString columnNames(const QString &name)
{
    QStringList quoted;
    if (const Schema::Table *table = find(name))
        for (const Schema::Column &column : table->columns)
            quoted << QLatin1Char('\'') + column.name + QLatin1Char('\'');
    return quoted.join(QStringLiteral(", "));
}

bool hasShape(const QString &name, const SqliteFormat::Values &values)
{
    using SqliteFormat::Value;
    const Schema::Table *table = find(name);
    if (!table || values.size() != table->columns.size())
        return false;
    for (int i = 0; i < values.size(); ++i) {
        const QString &type = table->columns[i].type;
        const Value::Type stored = values[i].type;
        if (stored == Value::Null)
            continue;
        const bool ok = type == QLatin1String("TEXT") ? stored == Value::Text
            : type == QLatin1String("INTEGER")        ? stored == Value::Integer
                                                      : stored == Value::Real || stored == Value::Integer;
        if (!ok)
            return false;
    }
    return true;
}

void DimensionCodes::addFact(const SqliteFormat::Values &values)
{
    static const int agency = columnOf("dim_agence"), user = columnOf("dim_utilisateur"),
                     supplier = columnOf("dim_fournisseur");
    if (values.size() <= std::max({agency, user, supplier}))
        return;
    agencies.insert(values[agency].bytes);
    users.insert(values[user].bytes);
    suppliers.insert(values[supplier].bytes);
}

namespace {

int shared(const QVector<SqliteFormat::Values> &rows, const QSet<QByteArray> &codes, int field)
{
    int n = 0;
    for (const SqliteFormat::Values &row : rows)
        n += row.size() > field && codes.contains(row[field].bytes) ? 1 : 0;
    return n;
}

} // namespace

bool DimensionCodes::linksLevels(const QVector<SqliteFormat::Values> &rows) const
{
    return !rows.isEmpty() && shared(rows, agencies, 1) * 2 > rows.size();
}

void DimensionCodes::addLinks(const QVector<SqliteFormat::Values> &rows)
{
    for (const SqliteFormat::Values &row : rows)
        if (!row.isEmpty())
            levels.insert(row[0].bytes);
}

// The facts name the agencies, users and suppliers; the level links name an
// agency second and a level first. The rows of a page of two text columns
// tell whose they are by the codes they share with those: a page of links
// by its agencies, a page of levels by codes that are mostly levels (a level
// may bear a user's code), the others by the codes most of their rows share.
QString DimensionCodes::tableOf(const QVector<SqliteFormat::Values> &rows, const QStringList &candidates) const
{
    if (rows.isEmpty())
        return {};
    const auto is = [&candidates](const char *table) { return candidates.contains(QLatin1String(table)); };
    if (is("niveau_agence") && linksLevels(rows))
        return QStringLiteral("niveau_agence");
    if (is("dim_niveau") && shared(rows, levels, 0) * 2 > rows.size())
        return QStringLiteral("dim_niveau");
    const QVector<QPair<QString, int>> scores{
        {QStringLiteral("dim_agence"), shared(rows, agencies, 0)},
        {QStringLiteral("dim_utilisateur"), shared(rows, users, 0)},
        {QStringLiteral("dim_fournisseur"), shared(rows, suppliers, 0)},
    };
    QString best;
    int bestScore = 0;
    for (const auto &[table, score] : scores) {
        if (candidates.contains(table) && score > bestScore) {
            best = table;
            bestScore = score;
        }
    }
    // Most of the page's rows must agree: a code or two in common is chance.
    if (!best.isEmpty() && bestScore * 2 > rows.size())
        return best;
    if (is("dim_niveau") && levels.isEmpty() && bestScore == 0)
        return QStringLiteral("dim_niveau");
    return {};
}

} // namespace KnownTables
