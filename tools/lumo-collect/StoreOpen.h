// Opens the store a --db names: a postgresql:// (or postgres://) URL is a shared
// PostgreSQL database, anything else the path of an SQLite file.
#ifndef LUMO_COLLECT_STOREOPEN_H
#define LUMO_COLLECT_STOREOPEN_H

#include "DeviceLock.h"
#include "SqliteStorage.h"
#include "Storage.h"

#include <memory>
#include <string>

namespace lumo_collect {

struct OpenedStore {
    std::unique_ptr<Storage> storage; // null on failure
    // Collecting into a shared store: the per-DIN locks that keep two collectors from
    // serving one device at once. Null for SQLite, which one process owns.
    std::unique_ptr<DeviceLock> lock;
    OpenReport report;
    int status = 0; // on failure: kExitUsage (a URL that does not parse) or kExitUnavailable
    std::string error;
    std::string warning; // for the person, also when the store opened
};

OpenedStore openStore(const std::string &db, Access access);
// The store as messages name it: the path, or user@host:port/dbname (never a password).
std::string storeDisplayName(const std::string &db);

} // namespace lumo_collect

#endif
