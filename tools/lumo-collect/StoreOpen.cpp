#include "StoreOpen.h"

#include "Options.h"
#include "PgDeviceLock.h"
#include "PgStorage.h"

namespace lumo_collect {

namespace {

OpenedStore failed(int status, std::string error)
{
    OpenedStore store;
    store.status = status;
    store.error = std::move(error);
    return store;
}

// A PostgreSQL store with its device leases (for writing).
OpenedStore openPostgres(const std::string &db, Access access)
{
    OpenedStore store;
    PgTarget target;
    if (!parsePgUrl(db, target, store.error))
        return failed(kExitUsage, store.error);
    std::unique_ptr<PgStorage> storage =
        PgStorage::open(target, access, store.error, &store.report);
    if (!storage)
        return failed(kExitUnavailable, store.error);
    if (access == Access::Write) {
        std::unique_ptr<PgDeviceLock> leases = PgDeviceLock::open(target, store.error);
        if (!leases)
            return failed(kExitUnavailable, store.error);
        storage->fenceWith(leases.get());
        store.lock = std::move(leases);
    }
    store.storage = std::move(storage);
    store.status = kExitOk;
    return store;
}

} // namespace

OpenedStore openStore(const std::string &db, Access access)
{
    OpenedStore store;
    if (!isPostgresUrl(db)) {
        OpenOptions options;
        options.access = access;
        store.storage = SqliteStorage::open(db, options, store.error, &store.report);
        store.status = store.storage ? kExitOk : kExitUnavailable;
        return store;
    }
    const std::string warning =
        urlShowsPassword(db) ? "the password given in the --db URL was readable by every user "
                               "of this machine (ps) until the program hid it: put it in a "
                               "password file (PGPASSFILE, ~/.pgpass) or PGPASSWORD instead"
                             : "";
    store = openPostgres(db, access);
    store.warning = warning;
    return store;
}

std::string storeDisplayName(const std::string &db)
{
    PgTarget target;
    std::string error;
    if (!isPostgresUrl(db))
        return db;
    return parsePgUrl(db, target, error) ? "postgresql://" + target.address : "(unparsable URL)";
}

} // namespace lumo_collect
