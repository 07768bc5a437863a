#include "xlsxreader.h"

#include <QFile>
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

bool entry(zip_t *archive, const char *name, QByteArray &out)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat(archive, name, 0, &stat) != 0)
        return false;
    zip_file_t *file = zip_fopen(archive, name, 0);
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
            strings << current;
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

XlsxSheet XlsxSheet::read(const QString &path)
{
    XlsxSheet sheet;
    int code = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code));
    if (!archive) {
        sheet.error = QStringLiteral("not a zip file (%1)").arg(code);
        return sheet;
    }
    QByteArray workbookXml, sheetXml, stringsXml, stylesXml;
    if (!entry(archive.get(), "xl/workbook.xml", workbookXml) || !entry(archive.get(), "xl/worksheets/sheet1.xml", sheetXml)
        || !entry(archive.get(), "xl/styles.xml", stylesXml)) {
        sheet.error = QStringLiteral("workbook parts missing");
        return sheet;
    }
    entry(archive.get(), "xl/sharedStrings.xml", stringsXml);
    const QStringList strings = sharedStrings(stringsXml);
    const QVector<QString> formats = cellFormats(stylesXml);

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
            else if (cell.isNumber())
                cell.number = value.toDouble();
            else
                cell.text = value;
        } else if (reader.isStartElement() && reader.name() == QLatin1String("t")) {
            cell.text += reader.readElementText(); // inline string
        } else if (reader.isEndElement() && reader.name() == QLatin1String("c")) {
            sheet.cells.insert(ref, cell);
        }
    }
    if (reader.hasError())
        sheet.error = reader.errorString();
    return sheet;
}
