#include "xlsxreader.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QVector>
#include <QXmlStreamReader>

#include <zip.h>

#include <memory>

namespace {

struct ZipCloser
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};

bool entry(zip_t *archive, zip_uint64_t index, QByteArray &out)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0)
        return false;
    zip_file_t *file = zip_fopen_index(archive, index, 0);
    if (!file)
        return false;
    out.resize(qsizetype(stat.size));
    const zip_int64_t read = zip_fread(file, out.data(), stat.size);
    zip_fclose(file);
    return read == zip_int64_t(stat.size);
}

// Format codes that a workbook may use by number without writing them.
QString builtinFormat(int id)
{
    switch (id) {
    case 0:
        return QStringLiteral("General");
    case 1:
        return QStringLiteral("0");
    case 2:
        return QStringLiteral("0.00");
    case 3:
        return QStringLiteral("#,##0");
    case 4:
        return QStringLiteral("#,##0.00");
    case 9:
        return QStringLiteral("0%");
    case 10:
        return QStringLiteral("0.00%");
    case 49:
        return QStringLiteral("@");
    default:
        return QStringLiteral("builtin %1").arg(id);
    }
}

// A cell's text as spreadsheets read it: "_xHHHH_" is the character HHHH.
QString unescaped(const QString &text)
{
    static const QRegularExpression escape(QStringLiteral("_x([0-9A-Fa-f]{4})_"));
    QString out;
    qsizetype from = 0;
    for (auto it = escape.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(from, m.capturedStart() - from);
        out += QChar(char16_t(m.captured(1).toUShort(nullptr, 16)));
        from = m.capturedEnd();
    }
    return out + text.mid(from);
}

QStringList sharedStrings(const QByteArray &xml)
{
    QStringList strings;
    QXmlStreamReader reader(xml);
    QString current;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("si"))
            current.clear();
        else if (reader.isStartElement() && reader.name() == QLatin1String("t"))
            current += reader.readElementText();
        else if (reader.isEndElement() && reader.name() == QLatin1String("si"))
            strings << unescaped(current);
    }
    return strings;
}

// The format code of each cell style, by style index.
QVector<QString> cellFormats(const QByteArray &xml)
{
    QMap<int, QString> custom;
    QVector<QString> formats;
    QXmlStreamReader reader(xml);
    bool inCellXfs = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("numFmt")) {
            custom.insert(reader.attributes().value(QLatin1String("numFmtId")).toInt(),
                          reader.attributes().value(QLatin1String("formatCode")).toString());
        } else if (reader.isStartElement() && reader.name() == QLatin1String("cellXfs")) {
            inCellXfs = true;
        } else if (reader.isEndElement() && reader.name() == QLatin1String("cellXfs")) {
            inCellXfs = false;
        } else if (inCellXfs && reader.isStartElement() && reader.name() == QLatin1String("xf")) {
            const int id = reader.attributes().value(QLatin1String("numFmtId")).toInt();
            formats << custom.value(id, builtinFormat(id));
        }
    }
    return formats;
}

} // namespace

QMap<QString, QByteArray> zipEntries(const QString &path)
{
    QMap<QString, QByteArray> entries;
    int code = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code));
    if (!archive)
        return entries;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        QByteArray bytes;
        const char *name = zip_get_name(archive.get(), zip_uint64_t(i), 0);
        if (!name || !entry(archive.get(), zip_uint64_t(i), bytes))
            return {};
        entries.insert(QString::fromUtf8(name), bytes);
    }
    return entries;
}

QString xmlError(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    return reader.hasError() ? QStringLiteral("%1 (line %2, column %3)")
                                   .arg(reader.errorString())
                                   .arg(reader.lineNumber())
                                   .arg(reader.columnNumber())
                             : QString();
}

XlsxSheet XlsxSheet::read(const QString &path)
{
    XlsxSheet sheet;
    sheet.parts = zipEntries(path);
    if (sheet.parts.isEmpty()) {
        sheet.error = QStringLiteral("not a zip file");
        return sheet;
    }
    for (auto it = sheet.parts.cbegin(); it != sheet.parts.cend(); ++it) {
        if (!it.key().endsWith(QLatin1String(".xml")) && !it.key().endsWith(QLatin1String(".rels")))
            continue;
        const QString error = xmlError(it.value());
        if (!error.isEmpty()) {
            sheet.error = it.key() + QStringLiteral(": ") + error;
            return sheet;
        }
    }
    const QByteArray workbookXml = sheet.parts.value(QStringLiteral("xl/workbook.xml"));
    const QByteArray sheetXml = sheet.parts.value(QStringLiteral("xl/worksheets/sheet1.xml"));
    const QByteArray stylesXml = sheet.parts.value(QStringLiteral("xl/styles.xml"));
    const QByteArray stringsXml = sheet.parts.value(QStringLiteral("xl/sharedStrings.xml"));
    if (workbookXml.isEmpty() || sheetXml.isEmpty() || stylesXml.isEmpty()) {
        sheet.error = QStringLiteral("workbook parts missing");
        return sheet;
    }
    const QStringList strings = sharedStrings(stringsXml);
    const QVector<QString> formats = cellFormats(stylesXml);

    QXmlStreamReader core(sheet.parts.value(QStringLiteral("docProps/core.xml")));
    while (!core.atEnd()) {
        core.readNext();
        if (core.isStartElement() && core.qualifiedName() == QLatin1String("dc:title")) {
            sheet.documentTitle = core.readElementText();
            break;
        }
    }

    QXmlStreamReader book(workbookXml);
    while (!book.atEnd()) {
        book.readNext();
        if (book.isStartElement() && book.name() == QLatin1String("sheet")) {
            sheet.name = book.attributes().value(QLatin1String("name")).toString();
            break;
        }
    }

    QXmlStreamReader reader(sheetXml);
    QString ref;
    XlsxCell cell;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("autoFilter")) {
            sheet.autoFilter = reader.attributes().value(QLatin1String("ref")).toString();
        } else if (reader.isStartElement() && reader.name() == QLatin1String("c")) {
            ref = reader.attributes().value(QLatin1String("r")).toString();
            cell = XlsxCell();
            cell.type = reader.attributes().value(QLatin1String("t")).toString();
            const int style = reader.attributes().value(QLatin1String("s")).toInt();
            cell.numberFormat = formats.value(style, QStringLiteral("General"));
        } else if (reader.isStartElement() && reader.name() == QLatin1String("f")) {
            cell.formula = true;
        } else if (reader.isStartElement() && reader.name() == QLatin1String("v")) {
            const QString value = reader.readElementText();
            if (cell.type == QLatin1String("s"))
                cell.text = strings.value(value.toInt());
            else if (cell.isNumber()) {
                bool ok = false;
                cell.number = value.toDouble(&ok);
                if (!ok && sheet.error.isEmpty())
                    sheet.error = QStringLiteral("%1 holds no number: %2").arg(ref, value);
            } else
                cell.text = value;
        } else if (reader.isStartElement() && reader.name() == QLatin1String("t")) {
            cell.text += reader.readElementText(); // inline string
        } else if (reader.isEndElement() && reader.name() == QLatin1String("c")) {
            sheet.cells.insert(ref, cell);
        }
    }
    if (reader.hasError() && sheet.error.isEmpty())
        sheet.error = reader.errorString();
    return sheet;
}
