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

// The first worksheet of a workbook file, read back from its zip container.
class XlsxSheet
{
public:
    // Empty sheet and an error text when the file cannot be read.
    static XlsxSheet read(const QString &path);

    QString error;
    QString name; // the sheet's name
    QMap<QString, XlsxCell> cells; // by reference ("A1")
    QString autoFilter;            // the autofilter range, if any

    bool has(const QString &ref) const { return cells.contains(ref); }
    XlsxCell cell(const QString &ref) const { return cells.value(ref); }
};
