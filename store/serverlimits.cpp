#include "store/serverlimits.h"

#include <algorithm>

namespace ServerLimits {

void addConnectionDefaults(QList<QPair<QString, QString>> &parameters)
{
    const QPair<const char *, int> defaults[] = {
        // A server that does not answer the connection must not hang the
        // program.
        {"connect_timeout", ConnectTimeoutSeconds},
        // Nor a connection whose server or network path has gone.
        {"keepalives", 1},
        {"keepalives_idle", KeepaliveIdleSeconds},
        {"keepalives_interval", KeepaliveIntervalSeconds},
        {"keepalives_count", KeepaliveCount},
        {"tcp_user_timeout", TcpUserTimeoutMs},
    };
    for (const auto &[keyword, value] : defaults) {
        const QString key = QLatin1String(keyword);
        const bool given = std::any_of(parameters.cbegin(), parameters.cend(),
                                       [&key](const QPair<QString, QString> &p) { return p.first == key; });
        if (!given)
            parameters << qMakePair(key, QString::number(value));
    }
}

} // namespace ServerLimits
