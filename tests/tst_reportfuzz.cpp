// orvalis-report against random small organisations (odd codes, labels and
// values) and random command lines: whatever it is given, it answers with
// one of its three exit statuses, and what it writes is well-formed in
// every format.
//
// The run is bounded in time and deterministic by its seed:
//   ORVALIS_FUZZ_SECONDS  how long to draw new cases (10 by default)
//   ORVALIS_FUZZ_SEED     the seed (drawn from the clock by default; printed)
//   ORVALIS_FUZZ_CASE     only this case of the seed, to replay a failure
#include "support/reportdriver.h"
#include "support/testsupport.h"
#include "support/xlsxreader.h"

#include "tools/report/reportcommand.h"
#include "dashboard/tableexport.h"
#include "store/schema.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMultiHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

const QStringList Formats{"texte", "tsv", "csv", "json", "xlsx"};

// Texts that have broken programs of this kind.
QStringList oddTexts()
{
    return {
        QString(),
        QStringLiteral("'"),
        QStringLiteral("''"),
        QStringLiteral("x' OR '1'='1"),
        QStringLiteral("%"),
        QStringLiteral("_"),
        QStringLiteral("a?b#c"),
        QStringLiteral("\t"),
        QStringLiteral("a\nb"),
        QStringLiteral("a\r\nb"),
        QStringLiteral("\x01\x02\x1b[31m"),
        QStringLiteral("Émile Faure"),
        QStringLiteral("Agence d'Orléans"),
        QStringLiteral("😀 𝄞"),
        QString(QChar(0xFFFE)),
        QString(QChar(0xD800)) + QStringLiteral("x"),
        QStringLiteral(" lead"),
        QStringLiteral("trail "),
        QStringLiteral("=1+1"),
        QStringLiteral("-3"),
        QStringLiteral("+33 1"),
        QStringLiteral("@SUM(A1)"),
        QStringLiteral("<b>&amp;</b>"),
        QStringLiteral("]]>"),
        QStringLiteral("a;b\"c"),
        QStringLiteral("_x0041_"),
        QStringLiteral("--niveau"),
        QStringLiteral("VEXOR"),
        QStringLiteral("vexor"),
        QStringLiteral("a\\b"),
    };
}

// Values that have broken sums and their texts.
QVariant oddValue(QRandomGenerator &random, bool *hugeInteger)
{
    static const double doubles[] = {0.0,     -0.0,    1.0,     -1.0,    0.005,    2.675,   0.1,
                                     1e-300,  1e308,   -1e308,  1.5e15,  -9.99e14, 123456789012345678.0,
                                     37262.835, 99.995, -0.004};
    switch (random.bounded(10)) {
    case 0:
        return QVariant(); // NULL
    case 1:
        return std::numeric_limits<double>::infinity() * (random.bounded(2) ? 1 : -1);
    case 2:
        return qlonglong(random.bounded(-5, 6)); // an integer, stored as one
    case 3:
        if (random.bounded(4) == 0) {
            *hugeInteger = true;
            return qlonglong(std::numeric_limits<qint64>::max() - random.bounded(3));
        }
        return qlonglong(random.bounded(1000));
    case 4:
        return QStringLiteral("12abc"); // text where a number should be
    default:
        return doubles[random.bounded(int(std::size(doubles)))];
    }
}

// Codes as a JSON array, each cut to 40 characters: readable in a log.
QString shown(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array << (code.size() > 40 ? code.left(40) + QStringLiteral("…") : code);
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// A small organisation in a SQLite file, drawn from `random`.
struct Organisation
{
    QStringList users, levels, agencies, suppliers;
    QMultiHash<QString, QString> links; // agencies by level
    bool hugeInteger = false; // an integer sum may pass 64 bits
    QString description;      // to replay by hand
};

// What the runs gave, for the summary.
struct Tally
{
    int runs = 0;
    int byStatus[3] = {};
    qint64 rows = 0;
    int programRuns = 0;
};

class Fuzzer
{
public:
    Fuzzer(quint32 seed, int index) : m_random(seed ^ (quint32(index) * 0x9E3779B9u)), m_index(index) {}

    // The case: an organisation and a few command lines, every format of
    // each. Empty when all is well, otherwise what went wrong.
    QString run(const QString &reportProgram, Tally &tally);

private:
    QString code(const QStringList &pool)
    {
        if (!pool.isEmpty() && m_random.bounded(10) > 0)
            return pool.at(m_random.bounded(int(pool.size())));
        return text();
    }
    QString text()
    {
        static const QStringList odd = oddTexts();
        switch (m_random.bounded(6)) {
        case 0:
            return QStringLiteral("C%1").arg(m_random.bounded(20));
        case 1: {
            QString long_;
            const int size = m_random.bounded(1, 2000);
            for (int i = 0; i < size; ++i)
                long_ += QChar(char16_t(m_random.bounded(1, 0x2FF)));
            return long_;
        }
        default:
            return odd.at(m_random.bounded(int(odd.size())));
        }
    }
    QVariant maybeNull(const QString &value) { return m_random.bounded(12) == 0 ? QVariant() : QVariant(value); }

    bool build(const QString &path, Organisation &org);
    QStringList commandLine(const Organisation &org);
    QString check(const QString &format, const ReportOutcome &outcome, const QString &workbook,
                  const Organisation &org, qsizetype *rows);

    QRandomGenerator m_random;
    int m_index;
};

bool Fuzzer::build(const QString &path, Organisation &org)
{
    const QString name = QStringLiteral("fuzz-%1").arg(m_index);
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        auto exec = [&](const QString &sql, const QVariantList &values = {}) {
            if (!ok)
                return;
            if (values.isEmpty()) {
                ok = query.exec(sql);
            } else {
                ok = query.prepare(sql);
                for (const QVariant &v : values)
                    query.addBindValue(v);
                ok = ok && query.exec();
            }
            if (!ok)
                qWarning("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
        };
        exec(QStringLiteral("BEGIN"));
        for (const QString &sql : Schema::createTables())
            exec(sql);
        if (m_random.bounded(2))
            exec(Schema::recommendedIndex());
        auto fill = [&](const QString &table, QStringList &codes, int most) {
            const int count = m_random.bounded(most + 1);
            for (int i = 0; i < count; ++i) {
                const QString c = text();
                codes << c;
                exec(QStringLiteral("INSERT INTO %1 (code, libelle) VALUES (?, ?)").arg(table),
                     {maybeNull(c), maybeNull(text())});
            }
            org.description += QStringLiteral("%1: %2\n").arg(table, shown(codes));
        };
        fill(QStringLiteral("dim_utilisateur"), org.users, 6);
        fill(QStringLiteral("dim_agence"), org.agencies, 5);
        fill(QStringLiteral("dim_fournisseur"), org.suppliers, 3);
        // Levels: mostly users' codes, and some that are no user's.
        const int levels = m_random.bounded(5);
        for (int i = 0; i < levels; ++i) {
            const QString c = code(org.users);
            org.levels << c;
            exec(QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES (?, ?)"), {c, maybeNull(text())});
        }
        org.description += QStringLiteral("dim_niveau: %1\n").arg(shown(org.levels));
        const int links = m_random.bounded(8);
        for (int i = 0; i < links; ++i) {
            const QString level = code(org.levels), agency = code(org.agencies);
            org.links.insert(level, agency);
            exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (?, ?)"), {level, agency});
        }
        const QDate month(QDate::currentDate().year(), QDate::currentDate().month(), 1);
        const QStringList accounts = Schema::accountCodes() + QStringList{QStringLiteral("AUTRE_COMPTE")};
        const int facts = m_random.bounded(40);
        for (int i = 0; i < facts; ++i) {
            const QDate when = month.addMonths(-m_random.bounded(3));
            exec(QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                                "dim_utilisateur, dim_fournisseur, dim_dossier) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                 {accounts.at(m_random.bounded(int(accounts.size()))), when.year(), when.month(),
                  oddValue(m_random, &org.hugeInteger), maybeNull(code(org.agencies)), maybeNull(code(org.users)),
                  maybeNull(code(org.suppliers)), maybeNull(text())});
        }
        exec(QStringLiteral("COMMIT"));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QStringList Fuzzer::commandLine(const Organisation &org)
{
    QStringList arguments;
    const int user = m_random.bounded(8);
    arguments << (user == 0 ? code(org.levels) : user == 1 ? code(org.users) : QStringLiteral("VEXOR"));
    auto option = [&](const char *name, const QString &value) {
        if (m_random.bounded(8) == 0)
            arguments << QStringLiteral("%1=%2").arg(QLatin1String(name), value);
        else
            arguments << QLatin1String(name) << value;
    };
    const QDate month = QDate::currentDate().addMonths(-m_random.bounded(3));
    if (m_random.bounded(3) == 0)
        option("--mois", m_random.bounded(6) ? month.toString(QStringLiteral("yyyy-MM")) : text());
    if (m_random.bounded(2) && (!org.levels.isEmpty() || m_random.bounded(4) == 0)) {
        const QString level = code(org.levels);
        option("--niveau", level);
        if (m_random.bounded(2)) {
            option("--agence", m_random.bounded(4) ? code(org.links.values(level)) : code(org.agencies));
            if (m_random.bounded(3) == 0)
                option("--utilisateur", code(org.users));
        }
    } else if (m_random.bounded(10) == 0) {
        option("--agence", code(org.agencies)); // without its level
    }
    if (m_random.bounded(3) == 0)
        option("--fournisseur", code(org.suppliers));
    switch (m_random.bounded(20)) {
    case 0:
        arguments << QStringLiteral("--inconnue");
        break;
    case 1:
        arguments << QStringLiteral("--niveau"); // no value
        break;
    case 2:
        arguments << QStringLiteral("en-trop");
        break;
    default:
        break;
    }
    return arguments;
}

// The CSV records of a text, with quoted cells undone; false when the
// structure is broken.
bool csvRecords(const QString &text, QList<QStringList> &records)
{
    QStringList record;
    QString cell;
    bool quoted = false, afterQuote = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
                    cell += c;
                    ++i;
                } else {
                    quoted = false;
                    afterQuote = true;
                }
            } else {
                cell += c;
            }
            continue;
        }
        if (c == QLatin1Char('"')) {
            if (!cell.isEmpty() || afterQuote)
                return false; // a quote inside an unquoted cell
            quoted = true;
        } else if (c == QLatin1Char(';')) {
            record << cell;
            cell.clear();
            afterQuote = false;
        } else if (c == QLatin1Char('\r')) {
            if (i + 1 >= text.size() || text.at(i + 1) != QLatin1Char('\n'))
                return false;
            ++i;
            record << cell;
            records << record;
            record.clear();
            cell.clear();
            afterQuote = false;
        } else if (c == QLatin1Char('\n')) {
            return false; // a bare line feed outside quotes
        } else {
            if (afterQuote)
                return false;
            cell += c;
        }
    }
    return !quoted && cell.isEmpty() && record.isEmpty();
}

QString Fuzzer::check(const QString &format, const ReportOutcome &outcome, const QString &workbook,
                      const Organisation &org, qsizetype *rows)
{
    const QString status = QStringLiteral("status %1, %2").arg(outcome.status).arg(outcome.err);
    if (outcome.status == 2 || outcome.status == 1) {
        if (!outcome.out.isEmpty() || outcome.err.trimmed().isEmpty())
            return QStringLiteral("a failure must say why and write nothing: ") + status;
        if (outcome.status == 1 && !org.hugeInteger)
            return QStringLiteral("a database or file error on a sound database: ") + status;
        *rows = -outcome.status;
        return QString();
    }
    if (outcome.status != 0)
        return QStringLiteral("unknown exit ") + status;
    for (const QString &line : outcome.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (!line.startsWith(QStringLiteral("Information : ")))
            return QStringLiteral("success with a message: ") + outcome.err;

    const QByteArray &out = outcome.out;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(out.startsWith("\xEF\xBB\xBF") ? out.mid(3) : out);
    if (utf8.hasError())
        return QStringLiteral("not UTF-8");
    const QStringList captions = dashboardCaptions();
    if (format == QLatin1String("texte")) {
        QStringList lines = text.split(QLatin1Char('\n'));
        if (lines.takeLast() != QString())
            return QStringLiteral("texte: no line end at the end");
        for (const QString &line : lines) {
            if (line.size() != lines.first().size())
                return QStringLiteral("texte: columns do not line up: ") + line;
            for (QChar c : line)
                if (c.category() == QChar::Other_Control)
                    return QStringLiteral("texte: a control character");
        }
        if (!lines.first().startsWith(QStringLiteral("Niveau")))
            return QStringLiteral("texte: no captions");
        *rows = lines.size() - 1;
    } else if (format == QLatin1String("tsv")) {
        QStringList lines = text.split(QLatin1Char('\n'));
        if (lines.takeLast() != QString() || text.contains(QLatin1Char('\r')))
            return QStringLiteral("tsv: line structure");
        for (const QString &line : lines)
            if (line.count(QLatin1Char('\t')) != 9)
                return QStringLiteral("tsv: not ten cells: ") + line;
        if (lines.first() != captions.join(QLatin1Char('\t')))
            return QStringLiteral("tsv: captions");
        *rows = lines.size() - 1;
    } else if (format == QLatin1String("csv")) {
        if (!out.startsWith("\xEF\xBB\xBF"))
            return QStringLiteral("csv: no byte order mark");
        QList<QStringList> records;
        if (!csvRecords(text, records))
            return QStringLiteral("csv: quoting or line ends");
        for (const QStringList &record : records)
            if (record.size() != 10)
                return QStringLiteral("csv: not ten cells: ") + record.join(QLatin1Char('|'));
        if (records.isEmpty() || records.first() != captions)
            return QStringLiteral("csv: captions");
        *rows = records.size() - 1;
    } else if (format == QLatin1String("json")) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        if (error.error != QJsonParseError::NoError || !document.isArray())
            return QStringLiteral("json: ") + error.errorString();
        for (const QJsonValue &value : document.array()) {
            const QJsonObject row = value.toObject();
            if (!row.value(QStringLiteral("libelle")).isString() || !row.value(QStringLiteral("code")).isString()
                || row.value(QStringLiteral("valeurs")).toObject().size() != 9
                || row.value(QStringLiteral("textes")).toObject().size() != 10)
                return QStringLiteral("json: a row without its parts");
            for (const QJsonValue &number : row.value(QStringLiteral("valeurs")).toObject())
                if (!number.isDouble() && !number.isNull())
                    return QStringLiteral("json: a value that is no number");
        }
        *rows = document.array().size();
    } else {
        if (!out.isEmpty())
            return QStringLiteral("xlsx: something on the standard output");
        const XlsxSheet sheet = XlsxSheet::read(workbook);
        if (!sheet.error.isEmpty())
            return QStringLiteral("xlsx: ") + sheet.error;
        for (int c = 0; c < 10; ++c)
            if (sheet.cell(QString(QChar(u'A' + c)) + QStringLiteral("3")).text != captions.at(c))
                return QStringLiteral("xlsx: captions");
        qsizetype count = 0;
        while (sheet.has(QStringLiteral("A%1").arg(count + 4)))
            ++count;
        for (qsizetype r = 0; r < count; ++r)
            for (int c = 1; c < 10; ++c) {
                const XlsxCell cell = sheet.cell(QStringLiteral("%1%2").arg(QChar(u'A' + c)).arg(r + 4));
                if (!cell.isNumber() && cell.text.isEmpty())
                    return QStringLiteral("xlsx: a figure that is neither number nor text");
            }
        *rows = count;
    }
    return QString();
}

QString Fuzzer::run(const QString &reportProgram, Tally &tally)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fuzz.db"));
    Organisation org;
    if (!build(path, org))
        return QStringLiteral("the organisation could not be built");

    // The user's locale: the C conventions or French, for the C library as
    // for Qt.
    const bool french = m_random.bounded(2);
    QLocale::setDefault(french ? QLocale(QLocale::French, QLocale::France) : QLocale::c());
    const QByteArray previous = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, french ? "fr_FR.UTF-8" : "C.UTF-8");
    struct Restore
    {
        QByteArray locale;
        ~Restore()
        {
            std::setlocale(LC_NUMERIC, locale.constData());
            QLocale::setDefault(QLocale::c());
        }
    } restore{previous};

    const int lines = m_random.bounded(1, 5);
    for (int l = 0; l < lines; ++l) {
        const QStringList arguments = QStringList{path} + commandLine(org);
        qsizetype rows[5];
        ReportOutcome outcomes[5];
        for (int f = 0; f < 5; ++f) {
            const QString workbook = dir.filePath(QStringLiteral("t%1.xlsx").arg(l));
            QStringList full = arguments + QStringList{QStringLiteral("--format"), Formats.at(f)};
            if (Formats.at(f) == QLatin1String("xlsx"))
                full << QStringLiteral("--sortie") << workbook;
            outcomes[f] = runReport(full);
            ++tally.runs;
            if (outcomes[f].status >= 0 && outcomes[f].status <= 2)
                ++tally.byStatus[outcomes[f].status];
            const QString problem = check(Formats.at(f), outcomes[f], workbook, org, &rows[f]);
            tally.rows += qMax<qsizetype>(0, rows[f]);
            if (!problem.isEmpty())
                return QStringLiteral("%1\n  command: orvalis-report %2\n  locale: %3\n%4")
                    .arg(problem, shown(full), french ? "fr_FR" : "C", org.description);
        }
        // Every format tells the same: the same status, the same rows.
        for (int f = 1; f < 5; ++f)
            if (rows[f] != rows[0])
                return QStringLiteral("%1 gives %2 rows or status, texte %3\n  command: orvalis-report %4\n%5")
                    .arg(Formats.at(f))
                    .arg(rows[f])
                    .arg(rows[0])
                    .arg(shown(arguments), org.description);
        // Now and then the program itself, which must write the same bytes.
        bool passes = true; // a command line reaches the program as it is
        for (const QString &argument : arguments)
            passes = passes && QString::fromUtf8(argument.toUtf8()) == argument;
        if (!reportProgram.isEmpty() && m_random.bounded(12) == 0 && passes) {
            const int f = m_random.bounded(4);
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("LC_ALL"), french ? QStringLiteral("fr_FR.UTF-8") : QStringLiteral("C.UTF-8"));
            process.setProcessEnvironment(environment);
            ++tally.programRuns;
            process.start(reportProgram, arguments + QStringList{QStringLiteral("--format"), Formats.at(f)});
            const bool finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
            const QByteArray out = process.readAllStandardOutput();
            const QString err = QString::fromUtf8(process.readAllStandardError());
            if (!finished || process.exitCode() != outcomes[f].status || out != outcomes[f].out
                || err != outcomes[f].err)
                return QStringLiteral("the program differs from the run in process: status %1 and %2, standard "
                                      "error %3 and %4\n  command: orvalis-report %5 --format %6\n")
                           .arg(process.exitCode())
                           .arg(outcomes[f].status)
                           .arg(err, outcomes[f].err, shown(arguments), Formats.at(f))
                       + org.description;
        }
    }
    return QString();
}

} // namespace

class TestReportFuzz : public QObject
{
    Q_OBJECT

private slots:
    void fuzz();
};

void TestReportFuzz::fuzz()
{
    bool ok = false;
    quint32 seed = qEnvironmentVariable("ORVALIS_FUZZ_SEED").toUInt(&ok);
    if (!ok)
        seed = quint32(QDateTime::currentMSecsSinceEpoch() % 1000000);
    int seconds = qEnvironmentVariableIntValue("ORVALIS_FUZZ_SECONDS", &ok);
    if (!ok)
        seconds = 10;
    const int only = qEnvironmentVariable("ORVALIS_FUZZ_CASE").toInt(&ok);
    const bool one = ok;
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/../orvalis-report");
    qInfo("orvalis-report fuzzing: seed %u, %d s (ORVALIS_FUZZ_SEED=%u ORVALIS_FUZZ_CASE=N replays case N)", seed,
          seconds, seed);

    QElapsedTimer timer;
    timer.start();
    int cases = 0;
    Tally tally;
    for (int index = one ? only : 0; one ? index == only : timer.elapsed() < seconds * 1000LL; ++index) {
        const QString problem = Fuzzer(seed, index).run(QFile::exists(program) ? program : QString(), tally);
        ++cases;
        if (!problem.isEmpty())
            QFAIL(qPrintable(QStringLiteral("seed %1, case %2 (ORVALIS_FUZZ_SEED=%1 ORVALIS_FUZZ_CASE=%2): %3")
                                 .arg(seed)
                                 .arg(index)
                                 .arg(problem)));
    }
    qInfo("orvalis-report fuzzing: %d cases in %.1f s, seed %u: %d runs in process (%d done, %d database errors, "
          "%d usage errors; %lld rows), %d runs of the program",
          cases, timer.elapsed() / 1000.0, seed, tally.runs, tally.byStatus[0], tally.byStatus[1], tally.byStatus[2],
          tally.rows, tally.programRuns);
    QVERIFY(cases > 0);
}

QTEST_MAIN(TestReportFuzz)
#include "tst_reportfuzz.moc"
