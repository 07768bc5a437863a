#include "store/dberror.h"
#include "store/tabsdatabase.h"

QString TABSDatabase::RepairDatabase()
{
    throw EDatabaseError(QStringLiteral("La réparation n'est pas encore disponible."));
}
