// Upgrades a PostgreSQL store of schema version 2 to 3 inside the caller's transaction:
// the times version 2 kept as text in this computer's local time (received_at, syncs.at,
// first_seen, last_seen, last_status_at) become timestamptz, read with this computer's
// zone rules for each date (see localTextToMillis). All or nothing: a value that is not
// such a time fails the upgrade and the caller rolls it back.
#ifndef LUMO_COLLECT_PGMIGRATION_H
#define LUMO_COLLECT_PGMIGRATION_H

#include "PgConnection.h"
#include "SqliteStorage.h"

#include <string>

namespace lumo_collect {

bool migratePgToVersion3(PgConnection &conn, OpenReport &report, std::string &error);

} // namespace lumo_collect

#endif
