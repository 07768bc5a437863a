#include "ui/messages.h"
#include "app/startup.h"
#include "store/dberror.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvalis"));
    try {
        Startup::run(app);
    } catch (const EDatabaseError &e) {
        Messages::ShowException(nullptr, e.message());
    } catch (const std::exception &e) {
        Messages::ShowException(nullptr, QString::fromUtf8(e.what()));
    } catch (...) {
        Messages::ShowException(nullptr, QString());
    }
    return 0;
}
