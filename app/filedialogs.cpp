#include "app/filedialogs.h"

#include "app/activation.h"

#include <QFileDialog>

namespace FileDialogs {

namespace {
Handler &currentHandler()
{
    static Handler handler;
    return handler;
}
} // namespace

Handler setHandler(Handler handler)
{
    Handler previous = std::move(currentHandler());
    currentHandler() = std::move(handler);
    return previous;
}

QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                        QString *selectedFilter)
{
    const Request request{caption, dir, filter, selectedFilter ? *selectedFilter : QString()};
    if (Handler &handler = currentHandler()) {
        const Answer answer = handler(request);
        if (selectedFilter && !answer.fileName.isEmpty())
            *selectedFilter = answer.selectedFilter;
        return answer.fileName;
    }

    QFileDialog dialog(parent, caption, dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!request.selectedFilter.isEmpty())
        dialog.selectNameFilter(request.selectedFilter);
    FocusHistory::markPassive(&dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    if (selectedFilter)
        *selectedFilter = dialog.selectedNameFilter();
    return dialog.selectedFiles().constFirst();
}

} // namespace FileDialogs
