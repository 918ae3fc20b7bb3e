#include "store/schema.h"

#include <QVariant>

namespace {

// The words the two engines disagree on; everything else is written once.
QString inDialect(const Database& db, QString sql) {
    const bool pg = db.postgres();
    sql.replace(QLatin1String("%KEY%"), pg ? QLatin1String("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY")
                                           : QLatin1String("INTEGER PRIMARY KEY AUTOINCREMENT"));
    sql.replace(QLatin1String("%INT%"), pg ? QLatin1String("BIGINT") : QLatin1String("INTEGER"));
    sql.replace(QLatin1String("%BLOB%"), pg ? QLatin1String("BYTEA") : QLatin1String("BLOB"));
    return sql;
}

// Version 1: the serial pool.
const char* const PoolTables[] = {
    "CREATE TABLE velta_schema (version %INT% NOT NULL)",
    // The one source the pool hands out values of; next_ordinal is the next value never issued.
    "CREATE TABLE serial_source (id %INT% PRIMARY KEY CHECK (id = 1), kind TEXT NOT NULL, "
    "format TEXT NOT NULL, size %INT% NOT NULL, start TEXT NOT NULL, step TEXT NOT NULL, "
    "sha256 TEXT NOT NULL, path TEXT NOT NULL, next_ordinal %INT% NOT NULL, created_at TEXT NOT NULL)",
    // Every run that opened the pool; ended_at stays empty while it runs (or after it died, until
    // a later run finds it dead). run_key is never reused.
    "CREATE TABLE runs (run_key %KEY%, run_id TEXT NOT NULL, "
    "host TEXT NOT NULL, pid %INT% NOT NULL, boot_id TEXT NOT NULL, start_ticks %INT% NOT NULL, "
    "started_at TEXT NOT NULL, ended_at TEXT, end_reason TEXT)",
    // Every value ever issued; a value's text is unique, whatever ordinal it came from.
    "CREATE TABLE serials (ordinal %INT% PRIMARY KEY, value TEXT NOT NULL UNIQUE, bytes %BLOB% NOT NULL, "
    "state TEXT NOT NULL CHECK (state IN ('issued', 'programmed', 'void')), "
    "run_key %INT% NOT NULL REFERENCES runs (run_key), device TEXT NOT NULL, "
    "issued_at TEXT NOT NULL, settled_at TEXT, target TEXT, device_address TEXT, boot_info TEXT, "
    "image_sha256 TEXT, void_reason TEXT)",
    "CREATE INDEX serials_issued ON serials (run_key) WHERE state = 'issued'",
};

// Version 2: the history. Each record is kept whole as the report wrote it, with the fields it
// is found by beside it; a record is stored once, however often it is delivered.
const char* const HistoryTables[] = {
    "CREATE TABLE run_records (run_id TEXT PRIMARY KEY, station TEXT NOT NULL, operation TEXT, "
    "file TEXT, sha256 TEXT, start_at TEXT, end_at TEXT, exit_code %INT%, record TEXT NOT NULL, "
    "stored_at TEXT NOT NULL)",
    // record_key: the device's key, or the target as written where it never had an address.
    "CREATE TABLE device_records (id %KEY%, run_id TEXT NOT NULL, type TEXT NOT NULL, "
    "record_key TEXT NOT NULL, station TEXT NOT NULL, target TEXT, device_key TEXT, serial TEXT, "
    "image_sha256 TEXT, sha256 TEXT, result TEXT, start_at TEXT, end_at TEXT, record TEXT NOT NULL, "
    "stored_at TEXT NOT NULL, UNIQUE (run_id, type, record_key))",
    "CREATE INDEX device_records_serial ON device_records (serial)",
    "CREATE INDEX device_records_target ON device_records (target)",
    "CREATE INDEX device_records_device ON device_records (device_key)",
    "CREATE INDEX device_records_image ON device_records (image_sha256)",
    "CREATE INDEX device_records_firmware ON device_records (sha256)",
};

Failure notOurs(const Database& db, const QString& why) {
    return Failure{Failure::Cause::Store,
                   QStringLiteral("%1 is not a store of velta-flash: %2").arg(db.shown(), why)};
}

template <size_t N> Result<void> make(const Database& db, const char* const (&statements)[N]) {
    for (const char* sql : statements) {
        if (auto made = db.exec(inDialect(db, QLatin1String(sql))); !made)
            return made.failure();
    }
    return success();
}

} // namespace

Result<void> StoreSchema::lockForOpening(const Database& db) {
    if (!db.postgres())
        return success();
    auto locked = db.exec(QStringLiteral("SELECT pg_advisory_xact_lock(?, 0)"), {LockClass});
    return locked ? success() : Result<void>(locked.failure());
}

Result<void> StoreSchema::ensure(const Database& db, bool create) {
    auto tables = db.tables();
    if (!tables)
        return notOurs(db, tables.failure().detail);
    if (!tables->contains(QLatin1String("velta_schema"))) {
        if (!tables->isEmpty() || !create)
            return notOurs(db, tables->isEmpty() ? QStringLiteral("it is empty")
                                                 : QStringLiteral("it holds tables of another program"));
        if (auto made = make(db, PoolTables); !made)
            return made;
        if (auto made = make(db, HistoryTables); !made)
            return made;
        auto versioned = db.exec(QStringLiteral("INSERT INTO velta_schema (version) VALUES (?)"), {Version});
        return versioned ? success() : Result<void>(versioned.failure());
    }
    auto version = db.exec(QStringLiteral("SELECT version FROM velta_schema"));
    if (!version)
        return version.failure();
    const int found = version->next() ? version->value(0).toInt() : 0;
    version->finish();
    if (found == 1 && create) {
        // A pool of before the history: its tables are added, nothing of it changes.
        if (auto made = make(db, HistoryTables); !made)
            return made;
        auto versioned = db.exec(QStringLiteral("UPDATE velta_schema SET version = ?"), {Version});
        return versioned ? success() : Result<void>(versioned.failure());
    }
    if (found != Version && !(found == 1 && !create))
        return notOurs(db, QStringLiteral("its schema is version %1; this program knows versions 1 and %2")
                               .arg(found)
                               .arg(Version));
    return success();
}
