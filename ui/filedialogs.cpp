#include "ui/filedialogs.h"

#include "ui/activation.h"

#include <QFileDialog>
#include <QFileIconProvider>
#include <QPrintDialog>
#include <QPrinter>

namespace FileDialogs {

namespace {

// The kinds of file the dialog lists, in French: Qt's French translations
// leave them in English ("Folder").
class FrenchFileKinds : public QFileIconProvider
{
public:
    QString type(const QFileInfo &info) const override
    {
        if (info.isRoot())
            return QStringLiteral("Lecteur");
        if (info.isDir())
            return QStringLiteral("Dossier");
        if (info.isSymLink() && !info.exists())
            return QStringLiteral("Lien");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("Fichier") : QStringLiteral("Fichier %1").arg(suffix.toUpper());
    }
};

Handler &currentHandler()
{
    static Handler handler;
    return handler;
}

PrinterHandler &currentPrinterHandler()
{
    static PrinterHandler handler;
    return handler;
}
} // namespace

Handler setHandler(Handler handler)
{
    Handler previous = std::move(currentHandler());
    currentHandler() = std::move(handler);
    return previous;
}

namespace {
QString ask(QWidget *parent, const Request &request, QFileDialog::AcceptMode mode, QString *selectedFilter)
{
    if (Handler &handler = currentHandler()) {
        const Answer answer = handler(request);
        if (selectedFilter && !answer.fileName.isEmpty())
            *selectedFilter = answer.selectedFilter;
        return answer.fileName;
    }

    QFileDialog dialog(parent, request.caption, request.dir, request.filter);
    // Qt's own dialog, so that everything in it is in French.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    FrenchFileKinds kinds;
    dialog.setIconProvider(&kinds);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!request.selectedFilter.isEmpty())
        dialog.selectNameFilter(request.selectedFilter);
    FocusHistory::markPassive(&dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    if (selectedFilter)
        *selectedFilter = dialog.selectedNameFilter();
    return dialog.selectedFiles().constFirst();
}
} // namespace

QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                        QString *selectedFilter)
{
    return ask(parent, {caption, dir, filter, selectedFilter ? *selectedFilter : QString()}, QFileDialog::AcceptSave,
               selectedFilter);
}

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter)
{
    return ask(parent, {caption, dir, filter, QString()}, QFileDialog::AcceptOpen, nullptr);
}

PrinterHandler setPrinterHandler(PrinterHandler handler)
{
    PrinterHandler previous = std::move(currentPrinterHandler());
    currentPrinterHandler() = std::move(handler);
    return previous;
}

bool choosePrinter(QWidget *parent, QPrinter &printer)
{
    if (PrinterHandler &handler = currentPrinterHandler())
        return handler(printer);
    QPrintDialog dialog(&printer, parent);
    dialog.setWindowTitle(QStringLiteral("Imprimer le tableau de suivi"));
    FocusHistory::markPassive(&dialog);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace FileDialogs
