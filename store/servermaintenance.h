#pragma once

#include <QString>

class ServerAddress;

// The repair of a database on a server: the server's own maintenance of the
// six tables, VACUUM ANALYZE, which gives back the room of deleted rows,
// refreshes the visibility map (for index-only reads of the fact table) and
// the planner's statistics.
//
// PostgreSQL does not refuse the maintenance of a table that the role may
// not maintain: it skips it with a warning. A skipped table is a failure
// here, reported with the server's words, as is any error.
namespace ServerMaintenance {

// Returns a short report; raises EDatabaseError on failure.
QString vacuumAnalyze(const ServerAddress &address, int lockTimeoutMs);

} // namespace ServerMaintenance
