#include "tools/common/toolexit.h"

#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <unistd.h>

namespace ToolExit {

namespace {
const char OutOfMemoryText[] = "Mémoire insuffisante : l'opération a été abandonnée.";
} // namespace

QString statusHelp()
{
    return QStringLiteral("Statut de sortie :\n"
                          "  0  terminé\n"
                          "  1  erreur de base de données ou de fichier (lecture, écriture, mémoire insuffisante)\n"
                          "  2  erreur d'utilisation : option inconnue, valeur manquante ou invalide, "
                          "fichier de sortie refusé\n");
}

int usage(const char *tool, const QString &message)
{
    const QString name = QString::fromUtf8(tool);
    QTextStream(stderr) << name << " : " << message << " (" << name << " --help : l'aide)" << Qt::endl;
    return Usage;
}

QString outOfMemory()
{
    return QString::fromUtf8(OutOfMemoryText);
}

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw std::runtime_error(QStringLiteral("La sortie standard n'a pas pu être écrite : %1")
                                         .arg(QString::fromLocal8Bit(std::strerror(written < 0 ? errno : EIO)))
                                         .toStdString());
        done += written;
    }
}

int guard(const char *tool, const std::function<int()> &body)
{
    // A write into a closed pipe or past the file-size limit fails with
    // EPIPE or EFBIG, which the writer reports, instead of ending the tool.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return body();
    } catch (const std::bad_alloc &) {
        // Nothing more to allocate: a fixed text.
        std::fprintf(stderr, "%s : %s\n", tool, OutOfMemoryText);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s : %s\n", tool, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s : erreur inattendue.\n", tool);
    }
    std::fflush(stderr);
    return Failure;
}

} // namespace ToolExit
