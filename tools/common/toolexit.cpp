#include "tools/common/toolexit.h"

#include <cstdio>
#include <exception>
#include <new>

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

QString outOfMemory()
{
    return QString::fromUtf8(OutOfMemoryText);
}

int guard(const char *tool, const std::function<int()> &body)
{
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
