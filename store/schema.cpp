#include "store/schema.h"

#include <QHash>
#include <QRegularExpression>

namespace Schema {

const QVector<Table> &tables()
{
    static const QVector<Table> all = [] {
        const QString text = QStringLiteral("TEXT");
        const QVector<Column> codeAndLabel{{QStringLiteral("code"), text}, {QStringLiteral("libelle"), text}};
        return QVector<Table>{
            {QStringLiteral("data"),
             {{QStringLiteral("code_account"), text},
              {QStringLiteral("period_year"), QStringLiteral("INTEGER")},
              {QStringLiteral("period_month"), QStringLiteral("INTEGER")},
              {QStringLiteral("valeur"), QStringLiteral("DOUBLE PRECISION")},
              {QStringLiteral("dim_agence"), text},
              {QStringLiteral("dim_utilisateur"), text},
              {QStringLiteral("dim_fournisseur"), text},
              {QStringLiteral("dim_dossier"), text}}},
            {QStringLiteral("dim_utilisateur"), codeAndLabel},
            {QStringLiteral("dim_agence"), codeAndLabel},
            {QStringLiteral("dim_fournisseur"), codeAndLabel},
            {QStringLiteral("dim_niveau"), codeAndLabel},
            {QStringLiteral("niveau_agence"), {{QStringLiteral("niveau"), text}, {QStringLiteral("agence"), text}}},
        };
    }();
    return all;
}

QStringList createTables()
{
    QStringList statements;
    for (const Table &table : tables()) {
        QStringList columns;
        for (const Column &column : table.columns)
            columns << column.name + QLatin1Char(' ') + column.type;
        statements << QStringLiteral("CREATE TABLE %1 (%2)").arg(table.name, columns.join(QStringLiteral(", ")));
    }
    return statements;
}

namespace {

// The tables a statement reads, each under its alias and its own name:
// the lists after FROM and JOIN, up to the next clause.
QHash<QString, QString> tablesRead(const QString &statement)
{
    static const QRegularExpression fromList(
        QStringLiteral("\\b(?:FROM|JOIN)\\s+(.*?)(?=\\b(?:WHERE|ORDER|GROUP|HAVING|LIMIT|UNION|JOIN|ON|LEFT|"
                       "RIGHT|INNER|CROSS)\\b|\\)|;|$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression item(QStringLiteral("^\\s*(\\w+)(?:\\s+(?:AS\\s+)?(\\w+))?\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    QHash<QString, QString> byName;
    for (auto it = fromList.globalMatch(statement); it.hasNext();) {
        for (const QString &entry : it.next().captured(1).split(QLatin1Char(','))) {
            const QRegularExpressionMatch m = item.match(entry);
            if (!m.hasMatch())
                continue;
            byName.insert(m.captured(1), m.captured(1));
            if (m.hasCaptured(2))
                byName.insert(m.captured(2), m.captured(1));
        }
    }
    return byName;
}

bool hasColumn(const QString &table, const QString &column)
{
    for (const Table &known : tables())
        if (known.name == table)
            for (const Column &c : known.columns)
                if (c.name == column)
                    return true;
    return false;
}

} // namespace

QString missingObjectMessage(const QString &statement, const QString &engineMessage)
{
    // SQLite's words, and a server's in English or in French.
    static const QRegularExpression missingTable(
        QStringLiteral("no such table: (?:\\w+\\.)?(\\w+)|relation \"(?:\\w+\\.)?(\\w+)\" does not exist|"
                       "la relation « (?:\\w+\\.)?(\\w+) » n'existe pas"));
    static const QRegularExpression missingColumn(
        QStringLiteral("no such column: (?:(\\w+)\\.)?(\\w+)|column \"?(?:(\\w+)\\.)?(\\w+)\"? does not exist|"
                       "la colonne « (?:(\\w+)\\.)?(\\w+) » n'existe pas"));
    auto firstOf = [](const QRegularExpressionMatch &m, std::initializer_list<int> groups) {
        for (int g : groups)
            if (m.hasCaptured(g))
                return m.captured(g);
        return QString();
    };

    const QRegularExpressionMatch table = missingTable.match(engineMessage);
    if (table.hasMatch())
        return QStringLiteral("La table %1 manque dans la base de données : %2")
            .arg(firstOf(table, {1, 2, 3}), engineMessage);

    const QRegularExpressionMatch column = missingColumn.match(engineMessage);
    if (!column.hasMatch())
        return QString();
    const QString qualifier = firstOf(column, {1, 3, 5});
    const QString name = firstOf(column, {2, 4, 6});
    const QHash<QString, QString> read = tablesRead(statement);
    QStringList candidates;
    if (!qualifier.isEmpty()) {
        candidates << read.value(qualifier, qualifier);
    } else {
        QStringList all;
        for (auto it = read.begin(); it != read.end(); ++it)
            if (it.key() == it.value())
                all << it.value();
        all.sort();
        for (const QString &t : all)
            if (hasColumn(t, name))
                candidates << t;
        if (candidates.isEmpty())
            candidates = all;
    }
    if (candidates.isEmpty())
        return QString();
    if (candidates.size() == 1)
        return QStringLiteral("La colonne %1 manque dans la table %2 : %3").arg(name, candidates.first(), engineMessage);
    return QStringLiteral("La colonne %1 manque dans l'une des tables %2 : %3")
        .arg(name, candidates.join(QStringLiteral(", ")), engineMessage);
}

QStringList tableNames()
{
    QStringList names;
    for (const Table &table : tables())
        names << table.name;
    return names;
}

namespace {

// The covering index of the figures, with `first` and `second` (the agency
// and the account) in that order after the month.
QString coveringIndex(const QString &name, const char *first, const char *second)
{
    return QStringLiteral("CREATE INDEX %1 ON data (period_year, period_month, %2, %3, dim_utilisateur, "
                          "dim_fournisseur, valeur)")
        .arg(name, QLatin1String(first), QLatin1String(second));
}

} // namespace

QString recommendedIndexName()
{
    return QStringLiteral("data_mois_compte");
}

QString recommendedIndex()
{
    return coveringIndex(recommendedIndexName(), "dim_agence", "code_account");
}

QString accountFirstIndexName()
{
    return QStringLiteral("data_mois_compte_agence");
}

QString accountFirstIndex()
{
    return coveringIndex(accountFirstIndexName(), "code_account", "dim_agence");
}

QStringList accountCodes()
{
    return {
        QStringLiteral("MONTANT_DEVIS_VENTE_HT"), QStringLiteral("MONTANT_DEVIS_TVA"),
        QStringLiteral("MARGE_DEVIS_VENTE_HT"),   QStringLiteral("NB_RELANCES"),
        QStringLiteral("NB_DOSSIERS_TRAITES"),    QStringLiteral("NB_COMMANDES_TRAITES"),
    };
}

} // namespace Schema
