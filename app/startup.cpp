#include "app/startup.h"

#include "ui/messages.h"
#include "app/tficheprincipale.h"

#include <QApplication>
#include <QFile>

namespace Startup {

bool applyStyleSheet(QApplication &app, const QString &resource)
{
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        Messages::ShowMessage(nullptr, QStringLiteral("Le style visuel n'a pas pu être appliqué (%1 : %2). "
                                                      "L'apparence par défaut est conservée.")
                                           .arg(resource, file.errorString()));
        return false;
    }
    app.setStyleSheet(QString::fromUtf8(file.readAll()));
    return true;
}

std::unique_ptr<TFichePrincipale> createMainWindow(const QStringList &arguments)
{
    auto window = std::make_unique<TFichePrincipale>();
    if (arguments.size() != 2) {
        Messages::ShowMessage(nullptr, parameterMessage());
        return nullptr;
    }
    window->SetDatabasePath(arguments.at(0));
    if (arguments.at(1) == QLatin1String("VEXOR"))
        window->SetAdmin(true);
    else
        window->SetUser(arguments.at(1));
    return window;
}

int run(QApplication &app, const QStringList &arguments)
{
    installFrenchTranslations(app);
    applyStyleSheet(app);
    std::unique_ptr<TFichePrincipale> window = createMainWindow(arguments);
    if (!window)
        return 0;
    window->show();
    app.exec();
    return 0;
}

} // namespace Startup
