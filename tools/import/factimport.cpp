#include "tools/import/factimport.h"

#include "store/pgsession.h"
#include "store/schema.h"
#include "store/serveraddress.h"
#include "store/sqlitehandle.h"
#include "store/tabsdatabase.h"
#include "tools/common/factrows.h"

#include <QFile>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QStringDecoder>

#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <algorithm>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The file: records of a spreadsheet's CSV export, read as a stream.
//
// The separator is the header's: ';' (decimal commas) or ',' (decimal
// points). Fields may be quoted ("" for a quote inside), and quoted fields
// may span lines. The text is UTF-8 (with or without its byte order mark)
// or Windows-1252, told by the first line that is not plain ASCII: valid
// UTF-8 there means UTF-8 for the whole file. Fields are handed out in
// UTF-8 either way.
class CsvReader
{
public:
    explicit CsvReader(const QString &path) : m_path(path), m_file(path)
    {
        if (!m_file.open(QIODevice::ReadOnly))
            throw EDatabaseError(QStringLiteral("Le fichier %1 ne peut pas être lu : %2").arg(path, m_file.errorString()));
        fill();
        if (m_chunk.startsWith("\xEF\xBB\xBF")) {
            m_pos = 3;
            m_encoding = Encoding::Utf8;
        } else if (m_chunk.startsWith("\xFF\xFE") || m_chunk.startsWith("\xFE\xFF")) {
            throw EDatabaseError(QStringLiteral("Le fichier %1 est en UTF-16 : enregistrez-le en « CSV UTF-8 » ou en "
                                                "« CSV (séparateur : point-virgule) ».")
                                     .arg(path));
        }
        // Lines ended by CR alone ("CSV Macintosh"): no line would end.
        if (m_chunk.contains('\r') && !m_chunk.contains('\n'))
            throw EDatabaseError(QStringLiteral("Le fichier %1 a des fins de ligne Macintosh (CR seul) : enregistrez-le en "
                                                "« CSV UTF-8 » ou en « CSV (séparateur : point-virgule) ».")
                                     .arg(path));
        m_separator = headerSeparator();
    }

    char separator() const { return m_separator; }

    // Reads the next record; false at the end of the file. A record that
    // could not be read whole has a problem().
    bool next()
    {
        m_record.resize(0);
        m_bounds.clear();
        m_problem.clear();
        m_start = m_line;
        enum { FieldStart, Unquoted, Quoted, QuoteInQuoted } state = FieldStart;
        qsizetype fieldStart = 0;
        bool any = false;
        const auto endField = [&] { m_bounds.push_back({fieldStart, m_record.size() - fieldStart}); };
        for (;;) {
            if (m_pos == m_chunk.size() && !fill()) {
                if (!any)
                    return false;
                if (state == Quoted)
                    m_problem = QStringLiteral("guillemet ouvert jamais refermé");
                endField();
                break;
            }
            any = true;
            const char *data = m_chunk.constData();
            const qsizetype size = m_chunk.size();
            if (state == Quoted) {
                qsizetype end = m_pos;
                while (end < size && data[end] != '"') {
                    if (data[end] == '\n')
                        ++m_line;
                    ++end;
                }
                append(data + m_pos, end - m_pos);
                m_pos = end;
                if (end < size) {
                    ++m_pos;
                    state = QuoteInQuoted;
                }
                continue;
            }
            const char c = data[m_pos];
            if (state == QuoteInQuoted) {
                state = Unquoted;
                if (c == '"') {
                    m_record += '"';
                    ++m_pos;
                    state = Quoted;
                    continue;
                }
            } else if (state == FieldStart && c == '"') {
                ++m_pos;
                state = Quoted;
                continue;
            }
            if (c == m_separator) {
                ++m_pos;
                endField();
                fieldStart = m_record.size();
                state = FieldStart;
            } else if (c == '\n') {
                ++m_pos;
                ++m_line;
                if (m_record.size() > fieldStart && m_record.back() == '\r')
                    m_record.chop(1);
                endField();
                break;
            } else {
                qsizetype end = m_pos;
                while (end < size && data[end] != m_separator && data[end] != '\n')
                    ++end;
                append(data + m_pos, end - m_pos);
                m_pos = end;
                state = Unquoted;
            }
        }
        decode();
        return true;
    }

    // The line where the record starts.
    qint64 line() const { return m_start; }
    int size() const { return int(m_bounds.size()); }
    QByteArrayView field(int i) const { return QByteArrayView(m_record).sliced(m_bounds[i].first, m_bounds[i].second); }
    QString problem() const { return m_problem; }

private:
    // A record longer than any line of a spreadsheet is not read further:
    // an unclosed quote, or not a CSV file at all, would otherwise take the
    // rest of the file into memory.
    void append(const char *data, qsizetype size)
    {
        if (m_record.size() + size > MaxRecord)
            throw EDatabaseError(QStringLiteral("Le fichier %1, ligne %2 : un enregistrement de plus de 1 Mo (un guillemet "
                                                "jamais refermé, ou ce n'est pas un fichier CSV) ; rien n'a été écrit.")
                                     .arg(m_path)
                                     .arg(m_start));
        m_record.append(data, size);
    }

    bool fill()
    {
        m_chunk.resize(ChunkSize);
        const qint64 read = m_file.read(m_chunk.data(), ChunkSize);
        if (read < 0)
            throw EDatabaseError(QStringLiteral("Le fichier %1 ne peut pas être lu : %2").arg(m_path, m_file.errorString()));
        m_chunk.resize(read);
        m_pos = 0;
        return read > 0;
    }

    // The separator the header uses more: ';' or ','.
    char headerSeparator() const
    {
        int semicolons = 0;
        int commas = 0;
        bool quoted = false;
        for (qsizetype i = m_pos; i < m_chunk.size() && (quoted || m_chunk[i] != '\n'); ++i) {
            const char c = m_chunk[i];
            if (c == '"')
                quoted = !quoted;
            else if (!quoted && c == ';')
                ++semicolons;
            else if (!quoted && c == ',')
                ++commas;
        }
        return commas > semicolons ? ',' : ';';
    }

    void decode()
    {
        bool ascii = true;
        for (const char c : std::as_const(m_record)) {
            ascii = ascii && uchar(c) < 0x80;
            // Not text: no table takes it (a server refuses it outright).
            if (c == '\0' && m_problem.isEmpty())
                m_problem = QStringLiteral("caractère nul : ce n'est pas du texte");
        }
        if (ascii)
            return;
        const bool utf8 = QByteArrayView(m_record).isValidUtf8();
        if (m_encoding == Encoding::Unknown)
            m_encoding = utf8 ? Encoding::Utf8 : Encoding::Windows1252;
        if (m_encoding == Encoding::Utf8) {
            if (!utf8 && m_problem.isEmpty())
                m_problem = QStringLiteral("texte illisible : le fichier est en UTF-8, cette ligne ne l'est pas");
            return;
        }
        // Read as Windows-1252, UTF-8 would be written as "Ã¨": refused as
        // the other way round.
        if (utf8 && m_problem.isEmpty())
            m_problem = QStringLiteral("texte en UTF-8 : le fichier est en Windows-1252 (d'après une ligne précédente)");
        if (!m_windows1252.isValid())
            throw EDatabaseError(QStringLiteral("Le fichier %1 est en Windows-1252, que cette installation de Qt ne "
                                                "sait pas lire : enregistrez-le en « CSV UTF-8 ».")
                                     .arg(m_path));
        QByteArray utf8Record;
        for (auto &[start, length] : m_bounds) {
            const QString text = m_windows1252.decode(QByteArrayView(m_record).sliced(start, length));
            start = utf8Record.size();
            utf8Record += text.toUtf8();
            length = utf8Record.size() - start;
        }
        m_record.swap(utf8Record);
    }

    static constexpr qsizetype ChunkSize = 1 << 20;
    static constexpr qsizetype MaxRecord = 1 << 20;
    enum class Encoding { Unknown, Utf8, Windows1252 };

    QString m_path;
    QFile m_file;
    QByteArray m_chunk;
    qsizetype m_pos = 0;
    char m_separator = ';';
    Encoding m_encoding = Encoding::Unknown;
    QStringDecoder m_windows1252{"windows-1252"};
    qint64 m_line = 1;
    qint64 m_start = 1;
    QByteArray m_record;
    std::vector<std::pair<qsizetype, qsizetype>> m_bounds;
    QString m_problem;
};

// A text of the file as a message shows it: at most 60 characters, and
// control, format (bidirectional, zero-width) and line-separating
// characters written as \u{…}, so that nothing in a file can move the
// terminal or pass for a line of the report.
QString shown(const QString &text)
{
    constexpr qsizetype Most = 60;
    QString out;
    qsizetype count = 0;
    for (const QChar c : text) {
        if (++count > Most) {
            out += QStringLiteral("…");
            break;
        }
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            out += QStringLiteral("\\u{%1}").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// Whether a code holds what no one can see: a control or format character,
// or a blank other than the space at either end (a no-break space). Such a
// code would be a new agency, user or supplier that looks like another.
bool hiddenCharacters(const QString &code)
{
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar::Category category = code[i].category();
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return true;
        if ((i == 0 || i == code.size() - 1) && code[i].isSpace())
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The header: which column holds what. Names are compared without case,
// accents, underscores or repeated blanks.

QString headerKey(const QString &name)
{
    QString key;
    for (const QChar c : name.normalized(QString::NormalizationForm_D)) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        key += (c == QLatin1Char('_') || c == QLatin1Char('-')) ? QLatin1Char(' ') : c.toLower();
    }
    return key.simplified();
}

// The six accounts, in the order of the tracking table's columns, with the
// captions of those columns.
constexpr int AccountCount = 6;
const char *const captions[AccountCount] = {"Montant HT", "TVA", "Marge €", "Nb Relance(s)", "Nb Devis", "Nb Commandes"};

// The account a caption or a code names, or -1.
int accountOf(const QString &name)
{
    // Each account's caption and code, as headerKey() writes them.
    static const QStringList keys = [] {
        QStringList keys;
        const QStringList codes = Schema::accountCodes();
        for (int i = 0; i < AccountCount; ++i)
            keys << headerKey(QString::fromUtf8(captions[i])) << headerKey(codes[i]);
        return keys;
    }();
    const qsizetype found = keys.indexOf(headerKey(name));
    return found < 0 ? -1 : int(found / 2);
}

// The accounts' codes, in UTF-8.
const std::vector<QByteArray> &accountCodes()
{
    static const std::vector<QByteArray> codes = [] {
        std::vector<QByteArray> codes;
        for (const QString &code : Schema::accountCodes())
            codes.push_back(code.toUtf8());
        return codes;
    }();
    return codes;
}

// The counts (the NB_ accounts) are whole numbers.
bool isCount(int account)
{
    return account >= 3;
}

enum Dimension { Agency, User, Supplier, DimensionCount };
const char *const dimensionTables[DimensionCount] = {"dim_agence", "dim_utilisateur", "dim_fournisseur"};
const char *const dimensionColumns[DimensionCount] = {"agence", "utilisateur", "fournisseur"};
const char *const unknownCode[DimensionCount] = {"agence inconnue de la base", "utilisateur inconnu de la base",
                                                 "fournisseur inconnu de la base"};

struct Columns
{
    QStringList names;   // as written in the file
    int month = -1;
    int year = -1;
    int codes[DimensionCount] = {-1, -1, -1};
    int labels[DimensionCount] = {-1, -1, -1};
    int dossier = -1;
    std::vector<std::pair<int, int>> figures;   // column, account
    int account = -1;
    int value = -1;
    std::vector<int> unnamed;   // columns without a name (a spreadsheet's trailing ';'): empty in every line
};

Columns readHeader(CsvReader &csv, const QString &file)
{
    const auto refuse = [&file](const QString &why) {
        return EDatabaseError(QStringLiteral("%1 : %2 Rien n'a été écrit.").arg(file, why));
    };
    if (!csv.next() || (csv.size() == 1 && csv.field(0).trimmed().isEmpty()))
        throw refuse(QStringLiteral("le fichier est vide : sa première ligne doit nommer les colonnes."));
    if (!csv.problem().isEmpty())
        throw refuse(QStringLiteral("la ligne des noms de colonnes est illisible (%1).").arg(csv.problem()));

    Columns columns;
    QHash<QString, int *> named{{QStringLiteral("mois"), &columns.month},     {QStringLiteral("annee"), &columns.year},
                                {QStringLiteral("dossier"), &columns.dossier}, {QStringLiteral("compte"), &columns.account},
                                {QStringLiteral("valeur"), &columns.value}};
    for (int d = 0; d < DimensionCount; ++d) {
        const QString name = QString::fromLatin1(dimensionColumns[d]);
        named.insert(name, &columns.codes[d]);
        named.insert(name + QStringLiteral(" libelle"), &columns.labels[d]);
    }
    std::set<int> accounts;
    for (int i = 0; i < csv.size(); ++i) {
        const QString name = QString::fromUtf8(csv.field(i)).trimmed();
        columns.names << name;
        const QString key = headerKey(name);
        if (key.isEmpty()) {
            columns.unnamed.push_back(i);
            continue;
        }
        if (int *slot = named.value(key)) {
            if (*slot >= 0)
                throw refuse(QStringLiteral("la colonne « %1 » est nommée deux fois.").arg(shown(name)));
            *slot = i;
        } else if (const int account = accountOf(name); account >= 0) {
            if (!accounts.insert(account).second)
                throw refuse(QStringLiteral("la colonne « %1 » est nommée deux fois.").arg(shown(name)));
            columns.figures.push_back({i, account});
        } else {
            throw refuse(QStringLiteral("colonne inconnue : « %1 ». Les colonnes lues sont mois (ou annee et mois), "
                                        "agence, utilisateur, fournisseur, dossier, agence_libelle, "
                                        "utilisateur_libelle, fournisseur_libelle, et les chiffres : une colonne "
                                        "par chiffre (Montant HT, TVA, Marge €, Nb Relance(s), Nb Devis, "
                                        "Nb Commandes, ou leurs codes de compte) ou les deux colonnes compte et "
                                        "valeur.")
                             .arg(shown(name)));
        }
    }
    QStringList missing;
    if (columns.month < 0)
        missing << QStringLiteral("mois");
    for (int d = 0; d < DimensionCount; ++d)
        if (columns.codes[d] < 0)
            missing << QString::fromLatin1(dimensionColumns[d]);
    if ((columns.account >= 0) != (columns.value >= 0))
        missing << QString::fromLatin1(columns.account < 0 ? "compte" : "valeur");
    if (!missing.isEmpty())
        throw refuse(QStringLiteral("il manque la colonne %1.").arg(missing.join(QStringLiteral(", la colonne "))));
    if (columns.account >= 0 && !columns.figures.empty())
        throw refuse(QStringLiteral("les chiffres sont soit dans les colonnes compte et valeur, soit dans une colonne "
                                    "par chiffre, pas les deux."));
    if (columns.account < 0 && columns.figures.empty())
        throw refuse(QStringLiteral("aucune colonne de chiffres : une colonne par chiffre (Montant HT, TVA, Marge €, "
                                    "Nb Relance(s), Nb Devis, Nb Commandes) ou les deux colonnes compte et valeur."));
    return columns;
}

// ---------------------------------------------------------------------------
// Values.

// A number as a spreadsheet writes it: "1 234,56" (blanks, no-break or
// narrow no-break spaces between thousands, a trailing "€") with the decimal
// separator of the file's layout. False for anything else, infinities and
// NaN included.
bool readNumber(QByteArrayView text, char decimal, double &value)
{
    text = text.trimmed();
    if (text.endsWith("\xE2\x82\xAC"))
        text = text.chopped(3).trimmed();
    if (text.startsWith('+')) {
        text = text.sliced(1).trimmed();
        // One sign at most: "+-5" is not read as -5.
        if (text.startsWith('-'))
            return false;
    }
    char digits[64];
    int size = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ')
            continue;
        if (text.sliced(i).startsWith("\xC2\xA0")) {
            ++i;
            continue;
        }
        if (text.sliced(i).startsWith("\xE2\x80\xAF")) {
            i += 2;
            continue;
        }
        if (c == ',' || c == '.') {
            if (c != decimal)
                return false;
            c = '.';
        }
        if (size == int(sizeof digits))
            return false;
        digits[size++] = c;
    }
    if (size == 0)
        return false;
    const auto [end, error] = std::from_chars(digits, digits + size, value);
    return error == std::errc() && end == digits + size && std::isfinite(value);
}

// A whole number within [low, high], or -1.
int readInteger(QByteArrayView text, int low, int high)
{
    text = text.trimmed();
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.isEmpty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return -1;
    return value;
}

// "2026-09" or "09/2026" (or "9/2026"): year * 12 + month - 1, or -1.
int readMonth(QByteArrayView text)
{
    text = text.trimmed();
    const qsizetype dash = text.indexOf('-');
    const qsizetype slash = text.indexOf('/');
    int year = -1;
    int month = -1;
    if (dash == 4) {
        year = readInteger(text.first(4), 1000, 9999);
        month = text.size() - 5 == 2 ? readInteger(text.sliced(5), 1, 12) : -1;
    } else if (slash == 1 || slash == 2) {
        month = readInteger(text.first(slash), 1, 12);
        year = text.size() - slash - 1 == 4 ? readInteger(text.sliced(slash + 1), 1000, 9999) : -1;
    }
    return year < 0 || month < 0 ? -1 : year * 12 + month - 1;
}

QString monthText(int key)
{
    return QStringLiteral("%1/%2").arg(key % 12 + 1, 2, 10, QLatin1Char('0')).arg(key / 12);
}

// ---------------------------------------------------------------------------
// Where the facts go: one transaction on a SQLite file or on a server,
// committed by commit() alone.

class FactSink
{
public:
    virtual ~FactSink() = default;
    // The codes of a dimension table.
    virtual QList<QByteArray> codes(const char *table) = 0;
    // True when the month holds facts.
    virtual bool holds(int month) = 0;
    // Deletes the month's facts; returns how many.
    virtual qint64 clear(int month) = 0;
    // `dossier` is null when the file has no dossier column. The texts are
    // valid until the next call.
    virtual void fact(int account, int month, double value, QByteArrayView agency, QByteArrayView user,
                      QByteArrayView supplier, QByteArrayView dossier) = 0;
    virtual void entries(const char *table, const std::map<QByteArray, QByteArray> &entries) = 0;
    virtual void commit() = 0;
};

class SqliteSink : public FactSink
{
public:
    explicit SqliteSink(const QString &path)
        : m_path(path),
          m_db(path, SQLITE_OPEN_READWRITE, QStringLiteral("La base de données %1 ne peut pas être ouverte").arg(path))
    {
        sqlite3_busy_timeout(m_db.handle(), TABSDatabase::BusyTimeoutMs);
        // The index grows in the page cache; 64 MiB bounds it.
        m_db.exec(QStringLiteral("PRAGMA cache_size = -65536"), context(QStringLiteral("Préparation")));
        // No other writer until the end: the months checked stay as seen.
        m_db.exec(QStringLiteral("BEGIN IMMEDIATE"), context(QStringLiteral("Début de la transaction")));
        m_began = true;
        m_insert = prepare(QStringLiteral("INSERT INTO data (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?)").arg(QLatin1String(factColumns)));
        m_holds = prepare(QStringLiteral("SELECT 1 FROM data WHERE period_year = ? AND period_month = ? LIMIT 1"));
        m_clear = prepare(QStringLiteral("DELETE FROM data WHERE period_year = ? AND period_month = ?"));
    }

    ~SqliteSink() override
    {
        m_insert.reset();
        m_holds.reset();
        m_clear.reset();
        if (m_began)
            m_db.tryExec(QStringLiteral("ROLLBACK"));
    }

    QList<QByteArray> codes(const char *table) override
    {
        QList<QByteArray> codes;
        for (const QString &code : m_db.column(QStringLiteral("SELECT code FROM %1 WHERE code IS NOT NULL").arg(QLatin1String(table)),
                                               context(QStringLiteral("Lecture de la table %1").arg(QLatin1String(table)))))
            codes << code.toUtf8();
        return codes;
    }

    bool holds(int month) override
    {
        m_holds->bind(1, month / 12);
        m_holds->bind(2, month % 12 + 1);
        const int rc = m_holds->step();
        m_holds->reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            m_db.fail(context(QStringLiteral("Lecture des mois de la table data")));
        return rc == SQLITE_ROW;
    }

    qint64 clear(int month) override
    {
        m_clear->bind(1, month / 12);
        m_clear->bind(2, month % 12 + 1);
        run(*m_clear, QStringLiteral("Suppression des faits de %1").arg(monthText(month)));
        return sqlite3_changes64(m_db.handle());
    }

    void fact(int account, int month, double value, QByteArrayView agency, QByteArrayView user,
              QByteArrayView supplier, QByteArrayView dossier) override
    {
        Row row{month, account, value, {}, {0, -1}, {}};
        int d = 0;
        for (const QByteArrayView text : {agency, user, supplier}) {
            // The batch's codes, each kept once.
            const QByteArray key = QByteArray::fromRawData(text.data(), text.size());
            auto id = m_ids[d].constFind(key);
            if (id == m_ids[d].cend()) {
                id = m_ids[d].insert(text.toByteArray(), int(m_codes[d].size()));
                m_codes[d].push_back(id.key());
            }
            row.codes[d++] = *id;
        }
        if (!dossier.isNull()) {
            row.dossier = Text{m_arena.size(), dossier.size()};
            m_arena.append(dossier.data(), dossier.size());
        }
        m_rows.push_back(row);
        if (m_rows.size() == BatchRows)
            flush();
    }

    void entries(const char *table, const std::map<QByteArray, QByteArray> &entries) override
    {
        const auto insert = prepare(QStringLiteral("INSERT INTO %1 (code, libelle) VALUES (?, ?)").arg(QLatin1String(table)));
        for (const auto &[code, label] : entries) {
            sqlite3_bind_text(insert->handle(), 1, code.constData(), int(code.size()), SQLITE_STATIC);
            sqlite3_bind_text(insert->handle(), 2, label.constData(), int(label.size()), SQLITE_STATIC);
            run(*insert, QStringLiteral("Écriture de la table %1").arg(QLatin1String(table)));
        }
    }

    void commit() override
    {
        flush();
        m_db.exec(QStringLiteral("COMMIT"), context(QStringLiteral("Validation de la transaction")));
        m_began = false;
    }

private:
    // The facts are written in batches, each sorted in the order of the
    // covering index: the index then grows by runs of neighbouring entries
    // instead of one entry here and one there, several times faster.
    struct Text
    {
        qsizetype start;
        qsizetype size;   // -1: null
    };
    struct Row
    {
        int month;
        int account;
        double value;
        int codes[DimensionCount];   // agency, user, supplier: in m_codes
        Text dossier;
        quint64 key[2];   // the order of the index, set by flush()
    };
    static constexpr size_t BatchRows = 1 << 18;

    void flush()
    {
        // The rows sorted on integers: each code's rank among the batch's
        // codes in byte order (the engine's order of texts), the account's
        // among the six.
        const std::vector<int> rank[DimensionCount] = {textRanks(m_codes[Agency]), textRanks(m_codes[User]),
                                                       textRanks(m_codes[Supplier])};
        // Ranks stay below 2^18 (a batch's rows), months below 2^17.
        for (Row &row : m_rows) {
            row.key[0] = quint64(row.month) << 21 | quint64(rank[Agency][row.codes[Agency]]) << 3
                         | quint64(m_accountRank[row.account]);
            row.key[1] = quint64(rank[User][row.codes[User]]) << 18 | quint64(rank[Supplier][row.codes[Supplier]]);
        }
        std::sort(m_rows.begin(), m_rows.end(), [](const Row &a, const Row &b) {
            return std::tie(a.key[0], a.key[1], a.value) < std::tie(b.key[0], b.key[1], b.value);
        });
        sqlite3_stmt *insert = m_insert->handle();
        for (const Row &row : m_rows) {
            const QByteArray &account = accountCodes()[row.account];
            sqlite3_bind_text(insert, 1, account.constData(), int(account.size()), SQLITE_STATIC);
            sqlite3_bind_int(insert, 2, row.month / 12);
            sqlite3_bind_int(insert, 3, row.month % 12 + 1);
            sqlite3_bind_double(insert, 4, row.value);
            for (int d = 0; d < DimensionCount; ++d) {
                const QByteArray &code = m_codes[d][row.codes[d]];
                sqlite3_bind_text(insert, 5 + d, code.constData(), int(code.size()), SQLITE_STATIC);
            }
            if (row.dossier.size < 0)
                sqlite3_bind_null(insert, 8);
            else
                sqlite3_bind_text(insert, 8, m_arena.constData() + row.dossier.start, int(row.dossier.size), SQLITE_STATIC);
            run(*m_insert, QStringLiteral("Écriture des faits"));
        }
        m_rows.clear();
        m_arena.resize(0);
        for (int d = 0; d < DimensionCount; ++d) {
            m_ids[d].clear();
            m_codes[d].clear();
        }
    }

    QString context(const QString &what) const { return QStringLiteral("%1 (%2)").arg(what, m_path); }

    std::unique_ptr<SqliteStatement> prepare(const QString &sql)
    {
        return std::make_unique<SqliteStatement>(m_db, sql, context(QStringLiteral("Échec de « %1 »").arg(sql)));
    }

    void run(SqliteStatement &statement, const QString &what)
    {
        const int rc = statement.step();
        statement.reset();
        if (rc != SQLITE_DONE)
            m_db.fail(context(what));
    }

    QString m_path;
    SqliteConnection m_db;
    bool m_began = false;
    std::unique_ptr<SqliteStatement> m_insert;
    std::unique_ptr<SqliteStatement> m_holds;
    std::unique_ptr<SqliteStatement> m_clear;
    std::vector<Row> m_rows;
    QByteArray m_arena;   // the dossiers of the batch
    QHash<QByteArray, int> m_ids[DimensionCount];
    std::vector<QByteArray> m_codes[DimensionCount];
    const std::vector<int> m_accountRank = textRanks(accountCodes());
};

// On a server the facts go in with COPY; the COPY is ended for the few
// statements between (a month seen for the first time). Until COMMIT
// nothing is seen by others, and a session that ends without it leaves
// nothing behind.
class ServerSink : public FactSink
{
public:
    explicit ServerSink(const QString &uri) : m_session(ServerAddress::parse(uri))
    {
        m_session.exec(QStringLiteral("BEGIN"), QStringLiteral("Début de la transaction"));
        const bool writer = m_session.scalar(QStringLiteral("SELECT has_table_privilege('data', 'INSERT') AND "
                                                            "has_table_privilege('data', 'DELETE')"))
                            == QLatin1String("t");
        if (!writer)
            throw EDatabaseError(QStringLiteral("Le serveur %1 refuse l'import à ce rôle (%2) : il ne peut pas écrire "
                                                "la table data. Importez avec le rôle propriétaire des tables.")
                                     .arg(m_session.display(), m_session.scalar(QStringLiteral("SELECT current_user"))));
        // One import at a time, readers left alone: the months checked
        // stay as seen.
        m_session.exec(QStringLiteral("SET LOCAL lock_timeout = '%1ms'").arg(TABSDatabase::BusyTimeoutMs),
                       QStringLiteral("Début de la transaction"));
        m_session.exec(QStringLiteral("LOCK TABLE data IN SHARE ROW EXCLUSIVE MODE"),
                       QStringLiteral("Attente des autres écritures de la table data"));
    }

    QList<QByteArray> codes(const char *table) override
    {
        endCopy();
        return m_session.column(QStringLiteral("SELECT code FROM %1").arg(QLatin1String(table)));
    }

    bool holds(int month) override
    {
        endCopy();
        return !m_session
                    .scalar(QStringLiteral("SELECT 1 FROM data WHERE period_year = %1 AND period_month = %2 LIMIT 1")
                                .arg(month / 12)
                                .arg(month % 12 + 1))
                    .isNull();
    }

    qint64 clear(int month) override
    {
        endCopy();
        return m_session
            .scalar(QStringLiteral("WITH supprimes AS (DELETE FROM data WHERE period_year = %1 AND period_month = %2 "
                                   "RETURNING 1) SELECT count(*) FROM supprimes")
                        .arg(month / 12)
                        .arg(month % 12 + 1))
            .toLongLong();
    }

    void fact(int account, int month, double value, QByteArrayView agency, QByteArrayView user,
              QByteArrayView supplier, QByteArrayView dossier) override
    {
        if (!m_copying) {
            m_session.copyStart(QStringLiteral("COPY data (%1) FROM STDIN").arg(QLatin1String(factColumns)));
            m_copying = true;
        }
        appendCopyFact(m_buffer, accountCodes()[account].constData(), month / 12, month % 12 + 1, value, agency, user,
                       supplier, dossier);
        if (m_buffer.size() >= BufferSize) {
            m_session.copyRows(m_buffer);
            m_buffer.resize(0);
        }
    }

    void entries(const char *table, const std::map<QByteArray, QByteArray> &entries) override
    {
        endCopy();
        if (entries.empty())
            return;
        QByteArray rows;
        for (const auto &[code, label] : entries) {
            PgSession::copyField(rows, code.constData(), code.size());
            rows += '\t';
            PgSession::copyField(rows, label.constData(), label.size());
            rows += '\n';
        }
        m_session.copyStart(QStringLiteral("COPY %1 (code, libelle) FROM STDIN").arg(QLatin1String(table)));
        m_session.copyRows(rows);
        m_session.copyEnd();
    }

    void commit() override
    {
        endCopy();
        m_session.exec(QStringLiteral("COMMIT"), QStringLiteral("Validation de la transaction"));
    }

private:
    void endCopy()
    {
        if (!m_copying)
            return;
        m_session.copyRows(m_buffer);
        m_buffer.resize(0);
        m_session.copyEnd();
        m_copying = false;
    }

    static constexpr qsizetype BufferSize = 1 << 20;
    PgSession m_session;
    bool m_copying = false;
    QByteArray m_buffer;
};

} // namespace

// ---------------------------------------------------------------------------

QString ImportProblem::text() const
{
    QString where = QStringLiteral("ligne %1").arg(line);
    if (!column.isEmpty())
        where += QStringLiteral(", colonne « %1 », valeur « %2 »").arg(column, value);
    return where + QStringLiteral(" : ") + reason;
}

QString ImportReport::text() const
{
    const QLocale french(QLocale::French, QLocale::France);
    if (problemCount > 0) {
        QStringList lines;
        for (const ImportProblem &problem : problems)
            lines << problem.text();
        if (problemCount > problems.size())
            lines << QStringLiteral("… et %1 autres lignes illisibles.").arg(french.toString(problemCount - problems.size()));
        lines << QStringLiteral("%1 : %2 ligne(s) illisible(s) ; rien n'a été écrit.").arg(file, french.toString(problemCount));
        return lines.join(QLatin1Char('\n'));
    }
    QStringList months;
    for (const int month : heldMonths)
        months << monthText(month);
    if (!heldMonths.isEmpty())
        return QStringLiteral("%1 : la base contient déjà des faits de %2 ; rien n'a été écrit. --remplacer remplace les "
                              "faits des mois du fichier.")
            .arg(file, months.join(QStringLiteral(", ")));
    months.clear();
    for (const int month : this->months)
        months << monthText(month);
    if (months.size() > 6)
        months = {QStringLiteral("de %1 à %2").arg(months.first(), months.last())};
    // French: the singular up to 1.
    const auto count = [&french](qint64 n, const char *one, const char *many) {
        return french.toString(n) + QLatin1Char(' ') + QString::fromUtf8(n > 1 ? many : one);
    };
    const QString replacedText =
        replaced > 0 ? QStringLiteral(" (%1)").arg(count(replaced, "fait remplacé", "faits remplacés")) : QString();
    return QStringLiteral("%1 : %2, %3%9, %4 mois (%5) ; nouveaux : %6 agence(s), %7 utilisateur(s), "
                          "%8 fournisseur(s).")
        .arg(file, count(lines, "ligne", "lignes"), count(facts, "fait écrit", "faits écrits"))
        .arg(this->months.size())
        .arg(months.join(QStringLiteral(", ")))
        .arg(newAgencies)
        .arg(newUsers)
        .arg(newSuppliers)
        .arg(replacedText);
}

FactImport::FactImport(QString database, QString file, bool replace)
    : m_database(std::move(database)), m_file(std::move(file)), m_replace(replace)
{
}

ImportReport FactImport::run()
{
    ImportReport report;
    report.file = m_file;
    CsvReader csv(m_file);
    const Columns columns = readHeader(csv, m_file);
    const char decimal = csv.separator() == ';' ? ',' : '.';

    std::unique_ptr<FactSink> sink;
    if (ServerAddress::isServerName(m_database))
        sink = std::make_unique<ServerSink>(m_database);
    else
        sink = std::make_unique<SqliteSink>(m_database);

    QSet<QByteArray> known[DimensionCount];
    std::map<QByteArray, QByteArray> created[DimensionCount];
    for (int d = 0; d < DimensionCount; ++d)
        for (const QByteArray &code : sink->codes(dimensionTables[d]))
            known[d].insert(code);

    std::set<int> months;
    double values[AccountCount];
    bool present[AccountCount];
    while (csv.next()) {
        bool blank = true;
        for (int i = 0; i < csv.size() && blank; ++i)
            blank = csv.field(i).trimmed().isEmpty();
        if (blank && csv.problem().isEmpty())
            continue;
        ++report.lines;

        ImportProblem problem;
        const auto refuse = [&](int column, const QString &reason) {
            problem.line = csv.line();
            if (column >= 0) {
                problem.column = shown(columns.names[column]);
                problem.value = shown(QString::fromUtf8(csv.field(column).first(std::min<qsizetype>(csv.field(column).size(), 1024))));
            }
            problem.reason = reason;
            return false;
        };
        const auto check = [&]() -> bool {
            if (!csv.problem().isEmpty())
                return refuse(-1, csv.problem());
            if (csv.size() != columns.names.size())
                return refuse(-1, QStringLiteral("%1 champ(s) au lieu de %2").arg(csv.size()).arg(columns.names.size()));
            for (const int column : columns.unnamed)
                if (!csv.field(column).trimmed().isEmpty())
                    return refuse(column, QStringLiteral("valeur dans une colonne sans nom"));
            return true;
        };
        int month = -1;
        QByteArrayView code[DimensionCount];
        bool fresh[DimensionCount] = {};   // a code the line creates
        std::fill(std::begin(present), std::end(present), false);
        const auto read = [&]() -> bool {
            if (!check())
                return false;
            if (columns.year >= 0) {
                const int year = readInteger(csv.field(columns.year), 1000, 9999);
                if (year < 0)
                    return refuse(columns.year, QStringLiteral("année invalide (attendu : AAAA)"));
                const int number = readInteger(csv.field(columns.month), 1, 12);
                if (number < 0)
                    return refuse(columns.month, QStringLiteral("mois invalide (attendu : 1 à 12)"));
                month = year * 12 + number - 1;
            } else if ((month = readMonth(csv.field(columns.month))) < 0) {
                return refuse(columns.month, QStringLiteral("mois invalide (attendu : AAAA-MM ou MM/AAAA)"));
            }
            for (int d = 0; d < DimensionCount; ++d) {
                code[d] = csv.field(columns.codes[d]).trimmed();
                if (code[d].isEmpty())
                    return refuse(columns.codes[d], QStringLiteral("code vide"));
                if (hiddenCharacters(QString::fromUtf8(code[d])))
                    return refuse(columns.codes[d], QStringLiteral("caractère invisible dans le code (caractère de contrôle "
                                                                   "ou de mise en forme, espace insécable au bord)"));
                const QByteArray key = QByteArray::fromRawData(code[d].data(), code[d].size());
                if (known[d].contains(key))
                    continue;
                if (columns.labels[d] < 0)
                    return refuse(columns.codes[d], QStringLiteral("%1 (une colonne %2_libelle crée les codes absents)")
                                                        .arg(QString::fromUtf8(unknownCode[d]),
                                                             QLatin1String(dimensionColumns[d])));
                const QByteArrayView label = csv.field(columns.labels[d]).trimmed();
                if (label.isEmpty())
                    return refuse(columns.labels[d], QStringLiteral("libellé vide pour un code absent de la base (%1)")
                                                         .arg(QString::fromUtf8(code[d])));
                fresh[d] = true;
            }
            const auto figure = [&](int column, int account) -> bool {
                const QByteArrayView text = csv.field(column);
                if (text.trimmed().isEmpty())
                    return true;
                if (!readNumber(text, decimal, values[account]))
                    return refuse(column, QStringLiteral("n'est pas un nombre (séparateur décimal : %1)")
                                              .arg(decimal == ',' ? QStringLiteral("la virgule") : QStringLiteral("le point")));
                if (isCount(account) && values[account] != std::floor(values[account]))
                    return refuse(column, QStringLiteral("un nombre entier est attendu pour %1")
                                              .arg(QString::fromUtf8(captions[account])));
                // A count is exact: within the integers a double holds.
                if (isCount(account) && std::fabs(values[account]) > 9007199254740992.0)
                    return refuse(column, QStringLiteral("nombre trop grand pour %1 (au plus 9 007 199 254 740 992)")
                                              .arg(QString::fromUtf8(captions[account])));
                present[account] = true;
                return true;
            };
            if (columns.account >= 0) {
                const int account = accountOf(QString::fromUtf8(csv.field(columns.account)));
                if (account < 0)
                    return refuse(columns.account, QStringLiteral("compte inconnu (attendu : un des six comptes du "
                                                                  "tableau de suivi, par son code ou son titre)"));
                return figure(columns.value, account);
            }
            for (const auto &[column, account] : columns.figures)
                if (!figure(column, account))
                    return false;
            return true;
        };

        if (!read()) {
            if (report.problems.size() < MaxProblems)
                report.problems << problem;
            ++report.problemCount;
            continue;
        }
        for (int d = 0; d < DimensionCount; ++d) {
            if (fresh[d]) {
                const QByteArray owned = code[d].toByteArray();
                known[d].insert(owned);
                created[d][owned] = csv.field(columns.labels[d]).trimmed().toByteArray();
            }
        }
        if (months.insert(month).second && sink->holds(month)) {
            if (m_replace)
                report.replaced += sink->clear(month);
            else
                report.heldMonths << month;
        }
        if (!report.written())
            continue;
        const QByteArrayView dossier = columns.dossier >= 0 ? csv.field(columns.dossier).trimmed() : QByteArrayView();
        // An empty dossier is an empty text, not "none".
        const QByteArrayView dossierText = columns.dossier >= 0 && dossier.isNull() ? QByteArrayView("") : dossier;
        for (int account = 0; account < AccountCount; ++account) {
            if (!present[account])
                continue;
            sink->fact(account, month, values[account], code[Agency], code[User],
                       code[Supplier], dossierText);
            ++report.facts;
        }
    }

    report.months = QList<int>(months.begin(), months.end());
    report.newAgencies = int(created[Agency].size());
    report.newUsers = int(created[User].size());
    report.newSuppliers = int(created[Supplier].size());
    if (!report.written()) {
        report.facts = 0;
        return report;   // the sink rolls back
    }
    for (int d = 0; d < DimensionCount; ++d)
        sink->entries(dimensionTables[d], created[d]);
    sink->commit();
    return report;
}
