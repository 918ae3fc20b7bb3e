#include "store/sqlite_pool.h"

#include "core/io/files.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <atomic>

namespace {

constexpr int SchemaVersion = 1;

// The tables of schema version 1, in words both SQLite and PostgreSQL take (but for the
// AUTOINCREMENT, PostgreSQL's GENERATED ALWAYS AS IDENTITY).
const char* const Schema[] = {
    "CREATE TABLE velta_schema (version INTEGER NOT NULL)",
    // The one source the pool hands out values of; next_ordinal is the next value never issued.
    "CREATE TABLE serial_source (id INTEGER PRIMARY KEY CHECK (id = 1), kind TEXT NOT NULL, "
    "format TEXT NOT NULL, size INTEGER NOT NULL, start TEXT NOT NULL, step TEXT NOT NULL, "
    "sha256 TEXT NOT NULL, path TEXT NOT NULL, next_ordinal INTEGER NOT NULL, created_at TEXT NOT NULL)",
    // Every run that opened the pool; ended_at stays empty while it runs (or after it died, until
    // a later run finds it dead). run_key is never reused.
    "CREATE TABLE runs (run_key INTEGER PRIMARY KEY AUTOINCREMENT, run_id TEXT NOT NULL, "
    "host TEXT NOT NULL, pid INTEGER NOT NULL, boot_id TEXT NOT NULL, start_ticks INTEGER NOT NULL, "
    "started_at TEXT NOT NULL, ended_at TEXT, end_reason TEXT)",
    // Every value ever issued; a value's text is unique, whatever ordinal it came from.
    "CREATE TABLE serials (ordinal INTEGER PRIMARY KEY, value TEXT NOT NULL UNIQUE, bytes BLOB NOT NULL, "
    "state TEXT NOT NULL CHECK (state IN ('issued', 'programmed', 'void')), "
    "run_key INTEGER NOT NULL REFERENCES runs (run_key), device TEXT NOT NULL, "
    "issued_at TEXT NOT NULL, settled_at TEXT, target TEXT, device_address TEXT, boot_info TEXT, "
    "image_sha256 TEXT, void_reason TEXT)",
    "CREATE INDEX serials_issued ON serials (run_key) WHERE state = 'issued'",
};

QString now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Qt binds a null QString as NULL; an empty text is what these columns mean.
QString notNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

QDateTime timeOf(const QVariant& text) {
    return text.isNull() ? QDateTime() : QDateTime::fromString(text.toString(), Qt::ISODateWithMs);
}

Failure storeFailure(const QString& what, const QSqlError& error) {
    // SQLITE_BUSY and SQLITE_LOCKED: the other process kept the pool past the busy time-out.
    const bool busy =
        error.nativeErrorCode() == QLatin1String("5") || error.nativeErrorCode() == QLatin1String("6");
    return Failure{
        Failure::Cause::Store,
        busy ? QStringLiteral("%1: the pool stayed busy in another process past the time-out").arg(what)
             : QStringLiteral("%1: %2").arg(what, error.text())};
}

// One statement with its values bound in order.
Result<QSqlQuery> exec(const QSqlDatabase& db, const QString& sql, const QVariantList& values = {}) {
    QSqlQuery query(db);
    if (!query.prepare(sql))
        return storeFailure(db.databaseName(), query.lastError());
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec())
        return storeFailure(db.databaseName(), query.lastError());
    return query;
}

// `body` inside BEGIN IMMEDIATE ... COMMIT: the write lock is taken first, so two processes take
// turns rather than both reading and one failing at its first write. Rolled back on any failure.
template <typename Body> Result<void> inTransaction(const QSqlDatabase& db, Body&& body) {
    if (auto began = exec(db, QStringLiteral("BEGIN IMMEDIATE")); !began)
        return began.failure();
    Result<void> done = body();
    if (done) {
        auto committed = exec(db, QStringLiteral("COMMIT"));
        if (committed)
            return success();
        done = committed.failure();
    }
    (void)exec(db, QStringLiteral("ROLLBACK"));
    return done;
}

QSqlDatabase databaseNamed(const QString& name) {
    return QSqlDatabase::database(name, false);
}

void disconnect(const QString& name) {
    databaseNamed(name).close();
    QSqlDatabase::removeDatabase(name);
}

// A connection of its own to the file at `path`.
Result<QString> connect(const QString& path, int busyTimeoutMs) {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return Failure{Failure::Cause::Store,
                       QStringLiteral("Qt SQL's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")};
    static std::atomic<int> count{0};
    const QString name = QStringLiteral("velta-serial-pool-%1").arg(count++);
    Result<void> opened = success();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
        if (!db.open())
            opened = storeFailure(path, db.lastError());
        // A value committed must survive a power loss: FULL syncs the WAL at every commit. These
        // are the first reads of the file: one that is no database fails here.
        for (const char* pragma : {"PRAGMA synchronous = FULL", "PRAGMA foreign_keys = ON"}) {
            QSqlQuery query(db);
            if (opened && !query.exec(QLatin1String(pragma)))
                opened = Failure{Failure::Cause::Store, QStringLiteral("%1 is not a serial pool: %2")
                                                            .arg(path, query.lastError().databaseText())};
        }
    }
    if (!opened) {
        disconnect(name);
        return opened.failure();
    }
    return name;
}

Failure notAPool(const QString& path, const QString& why) {
    return Failure{Failure::Cause::Store, QStringLiteral("%1 is not a serial pool: %2").arg(path, why)};
}

// The tables of the file, read before anything is written, so that another program's database
// is refused as it is.
Result<QStringList> tablesOf(const QSqlDatabase& db, const QString& path) {
    auto query =
        exec(db, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                                "'sqlite_%'"));
    if (!query)
        return notAPool(path, query.failure().detail);
    QStringList names;
    while (query->next())
        names << query->value(0).toString();
    return names;
}

// The schema checked, or made in an empty file when `create`.
Result<void> ensureSchema(const QSqlDatabase& db, const QString& path, bool create) {
    auto tables = tablesOf(db, path);
    if (!tables)
        return tables.failure();
    if (!tables->contains(QLatin1String("velta_schema"))) {
        if (!tables->isEmpty() || !create)
            return notAPool(path, tables->isEmpty() ? QStringLiteral("it is empty")
                                                    : QStringLiteral("it holds tables of another program"));
        for (const char* sql : Schema) {
            if (auto made = exec(db, QLatin1String(sql)); !made)
                return made.failure();
        }
        auto versioned =
            exec(db, QStringLiteral("INSERT INTO velta_schema (version) VALUES (?)"), {SchemaVersion});
        return versioned ? success() : Result<void>(versioned.failure());
    }
    auto version = exec(db, QStringLiteral("SELECT version FROM velta_schema"));
    if (!version)
        return version.failure();
    const int found = version->next() ? version->value(0).toInt() : 0;
    if (found != SchemaVersion)
        return notAPool(path, QStringLiteral("its schema is version %1; this program knows version %2")
                                  .arg(found)
                                  .arg(SchemaVersion));
    return success();
}

// A source as its identity reads, for messages: "a counter of be values of 4 bytes from 1000 by 1".
QString describe(const QVariantList& id, const QString& path) {
    const QString kind = id[0].toString();
    const QString values =
        id[1].toString() == QLatin1String("sqtp")
            ? QStringLiteral("records")
            : QStringLiteral("%1 values of %2 bytes").arg(id[1].toString()).arg(id[2].toInt());
    if (kind == SerialSource::kindName(SerialSource::Kind::Counter))
        return QStringLiteral("a counter of %1 from %2 by %3")
            .arg(values, id[3].toString(), id[4].toString());
    return QStringLiteral("the %1 %2 (SHA-256 %3...) of %4")
        .arg(kind == QLatin1String("sqtp") ? QStringLiteral("SQTP file") : kind, path,
             id[5].toString().left(12), values);
}

QVariantList identityOf(const SerialSource& s) {
    return {SerialSource::kindName(s.kind),
            notNull(s.format),
            s.size,
            notNull(s.start),
            notNull(s.step),
            notNull(s.sha256)};
}

// The source recorded in a new pool, or compared with the one an earlier run recorded.
Result<void> takeSource(const QSqlDatabase& db, const QString& pool, const SerialSource& source) {
    auto stored =
        exec(db, QStringLiteral("SELECT kind, format, size, start, step, sha256, path FROM serial_source"));
    if (!stored)
        return stored.failure();
    const QVariantList ours = identityOf(source);
    if (!stored->next()) {
        auto made =
            exec(db,
                 QStringLiteral("INSERT INTO serial_source (id, kind, format, size, start, step, sha256, "
                                "path, next_ordinal, created_at) VALUES (1, ?, ?, ?, ?, ?, ?, ?, 0, ?)"),
                 ours + QVariantList{notNull(source.path), now()});
        return made ? success() : Result<void>(made.failure());
    }
    QVariantList theirs;
    for (int i = 0; i < ours.size(); ++i)
        theirs << (i == 2 ? QVariant(stored->value(i).toInt()) : QVariant(stored->value(i).toString()));
    if (theirs == ours)
        return success();
    return Failure{
        Failure::Cause::Usage,
        QStringLiteral("the pool %1 was made for %2; this run gives %3: give that "
                       "source, or another pool for this one")
            .arg(pool, describe(theirs, stored->value(6).toString()), describe(ours, source.path))};
}

// The issued values of every run that no longer runs, void; those runs ended.
Result<void> voidDeadRuns(const QSqlDatabase& db) {
    auto open = exec(db, QStringLiteral("SELECT run_key, run_id, host, pid, boot_id, start_ticks FROM runs "
                                        "WHERE ended_at IS NULL"));
    if (!open)
        return open.failure();
    QVariantList dead;
    while (open->next()) {
        const RunIdentity run{open->value(1).toString(), open->value(2).toString(),
                              open->value(3).toLongLong(), open->value(4).toString(),
                              open->value(5).toLongLong()};
        if (runLiveness(run) == RunLiveness::Dead)
            dead << open->value(0);
    }
    for (const QVariant& key : std::as_const(dead)) {
        const QString at = now();
        auto voided =
            exec(db,
                 QStringLiteral("UPDATE serials SET state = 'void', settled_at = ?, void_reason = ? "
                                "WHERE run_key = ? AND state = 'issued'"),
                 {at, QStringLiteral("its run ended without an outcome (killed, or the power failed)"), key});
        if (!voided)
            return voided.failure();
        auto ended =
            exec(db, QStringLiteral("UPDATE runs SET ended_at = ?, end_reason = 'died' WHERE run_key = ?"),
                 {at, key});
        if (!ended)
            return ended.failure();
    }
    return success();
}

Result<qint64> registerRun(const QSqlDatabase& db, const RunIdentity& run) {
    auto made =
        exec(db,
             QStringLiteral("INSERT INTO runs (run_id, host, pid, boot_id, start_ticks, started_at) "
                            "VALUES (?, ?, ?, ?, ?, ?)"),
             {notNull(run.runId), notNull(run.host), run.pid, notNull(run.bootId), run.startTicks, now()});
    if (!made)
        return made.failure();
    return made->lastInsertId().toLongLong();
}

SerialState stateNamed(const QString& name) {
    if (name == serialStateName(SerialState::Programmed))
        return SerialState::Programmed;
    return name == serialStateName(SerialState::Void) ? SerialState::Void : SerialState::Issued;
}

Result<QList<SerialEntry>> readEntries(const QSqlDatabase& db) {
    auto query =
        exec(db, QStringLiteral("SELECT s.ordinal, s.value, s.state, s.device, r.run_id, s.issued_at, "
                                "s.settled_at, s.target, s.device_address, s.boot_info, s.image_sha256, "
                                "s.void_reason FROM serials s JOIN runs r ON r.run_key = s.run_key "
                                "ORDER BY s.ordinal"));
    if (!query)
        return query.failure();
    QList<SerialEntry> entries;
    while (query->next()) {
        const auto text = [&](int i) { return query->value(i).toString(); };
        entries << SerialEntry{query->value(0).toLongLong(),
                               text(1),
                               stateNamed(text(2)),
                               text(3),
                               text(4),
                               timeOf(query->value(5)),
                               timeOf(query->value(6)),
                               text(7),
                               text(8),
                               text(9),
                               text(10),
                               text(11)};
    }
    return entries;
}

// WAL: readers (--serials) never wait for a writer, and a writer's commit is one append. Switching
// a new file to it needs the file to itself, and SQLite answers busy at once (its busy handler is
// not asked: two connections could each wait for the other) while another process opens it too:
// tried again until the busy time-out, unless that other process has switched it meanwhile.
Result<void> ensureWal(const QSqlDatabase& db, const QString& path, int busyTimeoutMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QSqlQuery mode(db);
        const bool wal = mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next() &&
                         mode.value(0).toString() == QLatin1String("wal");
        mode.finish(); // an unfinished statement holds a read transaction, and no mode changes in one
        if (wal)
            return success();
        QSqlQuery set(db);
        if (set.exec(QStringLiteral("PRAGMA journal_mode = WAL")))
            return set.next() && set.value(0).toString() == QLatin1String("wal")
                       ? success()
                       : Result<void>(Failure{
                             Failure::Cause::Store,
                             QStringLiteral("%1: the pool cannot keep a write-ahead log here").arg(path)});
        if (set.lastError().nativeErrorCode() != QLatin1String("5") || waited.elapsed() >= busyTimeoutMs)
            return storeFailure(path, set.lastError());
        QThread::msleep(5);
    }
}

// Opening in one transaction: schema, source, the dead runs' values, this run. Outside it first:
// the file's tables, so that a database of another program is refused before WAL is set on it.
Result<qint64> openRun(const QString& connection, const QString& path, const SerialSource& source,
                       const RunIdentity& run, int busyTimeoutMs) {
    const QSqlDatabase db = databaseNamed(connection);
    if (auto tables = tablesOf(db, path); !tables)
        return tables.failure();
    else if (!tables->isEmpty() && !tables->contains(QLatin1String("velta_schema")))
        return notAPool(path, QStringLiteral("it holds tables of another program"));
    if (auto wal = ensureWal(db, path, busyTimeoutMs); !wal)
        return wal.failure();
    qint64 key = 0;
    auto opened = inTransaction(db, [&]() -> Result<void> {
        if (auto schema = ensureSchema(db, path, true); !schema)
            return schema;
        if (auto taken = takeSource(db, path, source); !taken)
            return taken;
        if (auto recovered = voidDeadRuns(db); !recovered)
            return recovered;
        auto registered = registerRun(db, run);
        if (!registered)
            return registered.failure();
        key = *registered;
        return success();
    });
    if (!opened)
        return opened.failure();
    return key;
}

} // namespace

SqlitePool::SqlitePool(QString connection, SerialSource source, qint64 runKey)
    : m_connection(std::move(connection)), m_source(std::move(source)), m_runKey(runKey) {}

SqlitePool::~SqlitePool() {
    if (!m_closed)
        (void)close();
    disconnect(m_connection);
}

QSqlDatabase SqlitePool::database() const {
    return databaseNamed(m_connection);
}

Result<std::unique_ptr<SerialPool>> SqlitePool::open(const QString& path, const SerialSource& source,
                                                     const RunIdentity& run, int busyTimeoutMs) {
    if (!isRegularFileOrAbsent(path))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(path)};
    if (!source.valueAt)
        return Failure{Failure::Cause::Usage, QStringLiteral("a pool needs a source of values")};
    auto connection = connect(path, busyTimeoutMs);
    if (!connection)
        return connection.failure();
    auto key = openRun(*connection, path, source, run, busyTimeoutMs);
    if (!key) {
        disconnect(*connection);
        return key.failure();
    }
    return std::unique_ptr<SerialPool>(new SqlitePool(*connection, source, *key));
}

Result<QList<SerialEntry>> SqlitePool::list(const QString& path, int busyTimeoutMs) {
    if (!QFileInfo::exists(path))
        return Failure{Failure::Cause::FileNotFound, QStringLiteral("no serial pool at %1").arg(path)};
    if (!isRegularFileOrAbsent(path))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(path)};
    auto connection = connect(path, busyTimeoutMs);
    if (!connection)
        return connection.failure();
    Result<QList<SerialEntry>> entries = QList<SerialEntry>{};
    {
        const QSqlDatabase db = databaseNamed(*connection);
        if (auto schema = ensureSchema(db, path, false); !schema)
            entries = schema.failure();
        else
            entries = readEntries(db);
    }
    disconnect(*connection);
    return entries;
}

Result<SerialValue> SqlitePool::issue(const QString& deviceKey) {
    if (m_closed)
        return Failure{Failure::Cause::Usage, QStringLiteral("the run has ended: no more values")};
    const QSqlDatabase db = database();
    SerialValue issued;
    auto done = inTransaction(db, [&]() -> Result<void> {
        auto next = exec(db, QStringLiteral("SELECT next_ordinal FROM serial_source"));
        if (!next)
            return next.failure();
        if (!next->next())
            return Failure{Failure::Cause::Store, QStringLiteral("the pool has lost its source")};
        const qint64 ordinal = next->value(0).toLongLong();
        next->finish();
        auto value = m_source.valueAt(ordinal);
        if (!value)
            return value.failure();
        value->ordinal = ordinal;
        auto inserted =
            exec(db,
                 QStringLiteral("INSERT INTO serials (ordinal, value, bytes, state, run_key, device, "
                                "issued_at) VALUES (?, ?, ?, 'issued', ?, ?, ?)"),
                 {ordinal, value->text, value->bytes, m_runKey, notNull(deviceKey), now()});
        if (!inserted)
            return inserted.failure();
        auto moved = exec(db, QStringLiteral("UPDATE serial_source SET next_ordinal = ?"), {ordinal + 1});
        if (!moved)
            return moved.failure();
        issued = *value;
        return success();
    });
    if (!done)
        return done.failure();
    return issued;
}

Result<void> SqlitePool::available(qint64 count) {
    if (count <= 0)
        return success();
    auto next = exec(database(), QStringLiteral("SELECT next_ordinal FROM serial_source"));
    if (!next)
        return next.failure();
    if (!next->next())
        return Failure{Failure::Cause::Store, QStringLiteral("the pool has lost its source")};
    const qint64 first = next->value(0).toLongLong();
    next->finish();
    if (m_source.valueAt(first + count - 1))
        return success();
    // How many are left: the first ordinal the source has no value for.
    qint64 low = first, high = first + count - 1; // valueAt(high) fails
    while (low < high) {
        const qint64 mid = low + (high - low) / 2;
        if (m_source.valueAt(mid))
            low = mid + 1;
        else
            high = mid;
    }
    return Failure{Failure::Cause::Exhausted, QStringLiteral("%1 value%2 left for %3 device%4")
                                                  .arg(low - first)
                                                  .arg(low - first == 1 ? "" : "s")
                                                  .arg(count)
                                                  .arg(count == 1 ? "" : "s")};
}

Result<void> SqlitePool::settle(const SerialValue& value, SerialState state, const QStringList& columns,
                                const QVariantList& values) {
    QString sql = QStringLiteral("UPDATE serials SET state = ?, settled_at = ?");
    for (const QString& column : columns)
        sql += QStringLiteral(", %1 = ?").arg(column);
    sql += QStringLiteral(" WHERE ordinal = ? AND run_key = ? AND state = 'issued'");
    const QSqlDatabase db = database();
    auto updated =
        exec(db, sql,
             QVariantList{serialStateName(state), now()} + values + QVariantList{value.ordinal, m_runKey});
    if (!updated)
        return updated.failure();
    if (updated->numRowsAffected() == 1)
        return success();
    auto found = exec(db, QStringLiteral("SELECT state FROM serials WHERE ordinal = ? AND run_key = ?"),
                      {value.ordinal, m_runKey});
    const QString current =
        found && found->next() ? found->value(0).toString() : QStringLiteral("not issued");
    return Failure{Failure::Cause::Usage,
                   QStringLiteral("serial %1 is not issued to this run (it is %2)").arg(value.text, current)};
}

Result<void> SqlitePool::programmed(const SerialValue& value, const ProgrammedInfo& info) {
    return settle(value, SerialState::Programmed,
                  {QStringLiteral("target"), QStringLiteral("device_address"), QStringLiteral("boot_info"),
                   QStringLiteral("image_sha256")},
                  {info.target, info.deviceAddress, info.bootInfo, info.imageSha256});
}

Result<void> SqlitePool::voided(const SerialValue& value, const QString& why) {
    return settle(value, SerialState::Void, {QStringLiteral("void_reason")}, {why});
}

Result<QList<SerialEntry>> SqlitePool::entries() {
    return readEntries(database());
}

Result<void> SqlitePool::close() {
    if (m_closed)
        return success();
    const QSqlDatabase db = database();
    auto done = inTransaction(db, [&]() -> Result<void> {
        const QString at = now();
        auto voided =
            exec(db,
                 QStringLiteral("UPDATE serials SET state = 'void', settled_at = ?, void_reason = ? "
                                "WHERE run_key = ? AND state = 'issued'"),
                 {at, QStringLiteral("its run ended before the device's outcome"), m_runKey});
        if (!voided)
            return voided.failure();
        auto ended =
            exec(db, QStringLiteral("UPDATE runs SET ended_at = ?, end_reason = 'closed' WHERE run_key = ?"),
                 {at, m_runKey});
        return ended ? success() : Result<void>(ended.failure());
    });
    if (done)
        m_closed = true;
    return done;
}
