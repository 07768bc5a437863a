#pragma once

#include <QMap>
#include <QString>

// One cell of a worksheet as the file stores it.
struct XlsxCell
{
    QString type;         // the "t" attribute: "s" shared string, "n" or empty number, "str", "inlineStr", ...
    QString text;         // a string cell's text
    double number = 0;    // a number cell's value
    QString numberFormat; // format code of the cell's style ("General" when none)
    bool formula = false; // the cell holds a formula
    bool isNumber() const { return type.isEmpty() || type == QLatin1String("n"); }
};

// The entries of a zip file by name; empty when it cannot be read.
QMap<QString, QByteArray> zipEntries(const QString &path);

// The first error of an XML text ("" when it is well-formed).
QString xmlError(const QByteArray &xml);

// The first worksheet of a workbook file, read back from its zip container.
class XlsxSheet
{
public:
    // Empty sheet and an error text when the file cannot be read, or when
    // one of its XML parts is not well-formed, or a number cell holds
    // something other than a number.
    static XlsxSheet read(const QString &path);

    QString error;
    QMap<QString, QByteArray> parts; // every entry of the file, by name
    QString name; // the sheet's name
    QString documentTitle; // the title among the document's properties
    QMap<QString, XlsxCell> cells; // by reference ("A1")
    QString autoFilter;            // the autofilter range, if any

    bool has(const QString &ref) const { return cells.contains(ref); }
    XlsxCell cell(const QString &ref) const { return cells.value(ref); }
};
