#include "store/sql_pool.h"

#include "core/io/files.h"
#include "store/schema.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QStringList>
#include <QThread>
#include <QVariant>

namespace {

const QString DiedReason = QStringLiteral("its run ended without an outcome (killed, or the power failed)");
const QString EndedReason = QStringLiteral("its run ended before the device's outcome");

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
Result<void> takeSource(const Database& db, const SerialSource& source) {
    auto stored =
        db.exec(QStringLiteral("SELECT kind, format, size, start, step, sha256, path FROM serial_source"));
    if (!stored)
        return stored.failure();
    const QVariantList ours = identityOf(source);
    if (!stored->next()) {
        auto made =
            db.exec(QStringLiteral("INSERT INTO serial_source (id, kind, format, size, start, step, sha256, "
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
            .arg(db.shown(), describe(theirs, stored->value(6).toString()), describe(ours, source.path))};
}

// Whether the run of `key` still runs. On PostgreSQL: whether its connection still holds its
// lock (a lock we can take is nobody's); on SQLite: whether its process runs.
Result<RunLiveness> livenessOf(const Database& db, const QVariant& key, const RunIdentity& run) {
    if (!db.postgres())
        return runLiveness(run);
    auto taken = db.exec(QStringLiteral("SELECT pg_try_advisory_lock(?, CAST(? AS integer))"),
                         {StoreSchema::LockClass, key});
    if (!taken)
        return taken.failure();
    if (!taken->next() || !taken->value(0).toBool())
        return RunLiveness::Alive;
    taken->finish();
    auto released = db.exec(QStringLiteral("SELECT pg_advisory_unlock(?, CAST(? AS integer))"),
                            {StoreSchema::LockClass, key});
    if (!released)
        return released.failure();
    return RunLiveness::Dead;
}

// A run ends: what it left issued becomes void for `why`, and the run is marked ended (once).
Result<void> endRun(const Database& db, const QVariant& key, const QString& why, const QString& how) {
    const QString at = now();
    auto voided = db.exec(QStringLiteral("UPDATE serials SET state = 'void', settled_at = ?, void_reason = ? "
                                         "WHERE run_key = ? AND state = 'issued'"),
                          {at, why, key});
    if (!voided)
        return voided.failure();
    auto ended = db.exec(
        QStringLiteral("UPDATE runs SET ended_at = ?, end_reason = ? WHERE run_key = ? AND ended_at IS NULL"),
        {at, how, key});
    return ended ? success() : Result<void>(ended.failure());
}

// The issued values of every run that no longer runs, void; those runs ended.
Result<void> voidDeadRuns(const Database& db) {
    auto open = db.exec(QStringLiteral("SELECT run_key, run_id, host, pid, boot_id, start_ticks FROM runs "
                                       "WHERE ended_at IS NULL"));
    if (!open)
        return open.failure();
    QList<std::pair<QVariant, RunIdentity>> runs;
    while (open->next())
        runs.append({open->value(0),
                     {open->value(1).toString(), open->value(2).toString(), open->value(3).toLongLong(),
                      open->value(4).toString(), open->value(5).toLongLong()}});
    open->finish();
    for (const auto& [key, run] : std::as_const(runs)) {
        auto liveness = livenessOf(db, key, run);
        if (!liveness)
            return liveness.failure();
        if (*liveness != RunLiveness::Dead)
            continue;
        if (auto ended = endRun(db, key, DiedReason, QStringLiteral("died")); !ended)
            return ended;
    }
    return success();
}

// This run in the runs table; on PostgreSQL its lock is taken in the same transaction, so no
// other station ever sees it registered and unlocked.
Result<qint64> registerRun(const Database& db, const RunIdentity& run) {
    auto made =
        db.exec(QStringLiteral("INSERT INTO runs (run_id, host, pid, boot_id, start_ticks, started_at) "
                               "VALUES (?, ?, ?, ?, ?, ?) RETURNING run_key"),
                {notNull(run.runId), notNull(run.host), run.pid, notNull(run.bootId), run.startTicks, now()});
    if (!made)
        return made.failure();
    if (!made->next())
        return Failure{Failure::Cause::Store,
                       QStringLiteral("%1: the run was not registered").arg(db.shown())};
    const qint64 key = made->value(0).toLongLong();
    made->finish();
    if (db.postgres()) {
        auto locked = db.exec(QStringLiteral("SELECT pg_advisory_lock(?, CAST(? AS integer))"),
                              {StoreSchema::LockClass, key});
        if (!locked)
            return locked.failure();
    }
    return key;
}

SerialState stateNamed(const QString& name) {
    if (name == serialStateName(SerialState::Programmed))
        return SerialState::Programmed;
    return name == serialStateName(SerialState::Void) ? SerialState::Void : SerialState::Issued;
}

Result<QList<SerialEntry>> readEntries(const Database& db) {
    auto query =
        db.exec(QStringLiteral("SELECT s.ordinal, s.value, s.state, s.device, r.run_id, s.issued_at, "
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
Result<void> ensureWal(const Database& db, int busyTimeoutMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        auto mode = db.exec(QStringLiteral("PRAGMA journal_mode"));
        const bool wal = mode && mode->next() && mode->value(0).toString() == QLatin1String("wal");
        if (mode)
            mode->finish(); // an unfinished statement holds a read transaction, and no mode changes in one
        if (wal)
            return success();
        auto set = db.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        if (set)
            return set->next() && set->value(0).toString() == QLatin1String("wal")
                       ? success()
                       : Result<void>(
                             Failure{Failure::Cause::Store,
                                     QStringLiteral("%1: the pool cannot keep a write-ahead log here")
                                         .arg(db.shown())});
        if (!set.failure().detail.contains(QLatin1String("busy")) || waited.elapsed() >= busyTimeoutMs)
            return set.failure();
        QThread::msleep(5);
    }
}

// The outcome of a value, in the form the spool keeps it and the store takes it again: only a
// value still issued to that run changes, or one voided because its run ended first that turns
// out programmed; anything else was settled already, and is left as it is. The rows changed.
Result<int> settleInStore(const Database& db, const QJsonObject& e) {
    const QString state = e.value(QLatin1String("state")).toString();
    const bool programmed = state == serialStateName(SerialState::Programmed);
    auto updated = db.exec(
        QStringLiteral(
            "UPDATE serials SET state = ?, settled_at = ?, target = ?, device_address = ?, "
            "boot_info = ?, image_sha256 = ?, void_reason = ? WHERE ordinal = ? AND run_key = ? "
            "AND (state = 'issued' OR (state = 'void' AND void_reason IN (?, ?) AND ? = 'programmed'))"),
        {state, e.value(QLatin1String("settled_at")).toString(),
         programmed ? QVariant(e.value(QLatin1String("target")).toString()) : QVariant(),
         programmed ? QVariant(e.value(QLatin1String("device_address")).toString()) : QVariant(),
         programmed ? QVariant(e.value(QLatin1String("boot_info")).toString()) : QVariant(),
         programmed ? QVariant(e.value(QLatin1String("image_sha256")).toString()) : QVariant(),
         programmed ? QVariant() : QVariant(e.value(QLatin1String("void_reason")).toString()),
         e.value(QLatin1String("ordinal")).toInteger(), e.value(QLatin1String("run_key")).toInteger(),
         DiedReason, EndedReason, state});
    if (!updated)
        return updated.failure();
    return updated->numRowsAffected();
}

Result<int> deliverSpool(const Database& db, const Spool& spool) {
    return spool.deliver([&](const QJsonObject& e) -> Result<void> {
        auto settled = settleInStore(db, e);
        return settled ? success() : Result<void>(settled.failure());
    });
}

// Opening: the store's tables and the source, the station's spooled outcomes, then the dead runs'
// values and this run. SQLite first reads the file's tables, so that a database of another
// program is refused before WAL is set on it.
Result<qint64> openRun(Database& db, const SerialSource& source, const RunIdentity& run, const Spool& spool,
                       int busyTimeoutMs) {
    if (!db.postgres()) {
        if (auto tables = db.tables(); !tables)
            return tables.failure();
        else if (!tables->isEmpty() && !tables->contains(QLatin1String("velta_schema")))
            return Failure{
                Failure::Cause::Store,
                QStringLiteral("%1 is not a store of velta-flash: it holds tables of another program")
                    .arg(db.shown())};
        if (auto wal = ensureWal(db, busyTimeoutMs); !wal)
            return wal.failure();
    }
    auto made = db.transaction([&]() -> Result<void> {
        if (auto locked = StoreSchema::lockForOpening(db); !locked)
            return locked;
        if (auto schema = StoreSchema::ensure(db, true); !schema)
            return schema;
        return takeSource(db, source);
    });
    if (!made)
        return made.failure();
    // Before the dead runs are voided: a spooled "programmed" is what became of the value.
    if (auto delivered = deliverSpool(db, spool); !delivered)
        return delivered.failure();
    qint64 key = 0;
    auto opened = db.transaction([&]() -> Result<void> {
        if (auto locked = StoreSchema::lockForOpening(db); !locked)
            return locked;
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

Result<StoreLocation> locationOf(const QString& text, bool mustExist) {
    auto where = StoreLocation::parse(text);
    if (!where || where->isPostgres())
        return where;
    if (mustExist && !QFileInfo::exists(text))
        return Failure{Failure::Cause::FileNotFound, QStringLiteral("no serial pool at %1").arg(text)};
    if (!isRegularFileOrAbsent(text))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("%1 is not a regular file").arg(text)};
    return where;
}

} // namespace

SqlPool::SqlPool(std::unique_ptr<Database> db, SerialSource source, qint64 runKey)
    : m_db(std::move(db)), m_source(std::move(source)), m_runKey(runKey),
      m_spool(Spool::pathFor(m_db->location(), QStringLiteral("serials"))) {}

SqlPool::~SqlPool() {
    if (!m_closed)
        (void)close();
}

Result<std::unique_ptr<SerialPool>> SqlPool::open(const QString& location, const SerialSource& source,
                                                  const RunIdentity& run, int busyTimeoutMs) {
    auto where = locationOf(location, false);
    if (!where)
        return where.failure();
    if (!source.valueAt)
        return Failure{Failure::Cause::Usage, QStringLiteral("a pool needs a source of values")};
    auto db = Database::open(*where, busyTimeoutMs);
    if (!db)
        return db.failure();
    const Spool spool(Spool::pathFor(*where, QStringLiteral("serials")));
    auto key = openRun(**db, source, run, spool, busyTimeoutMs);
    if (!key)
        return key.failure();
    return std::unique_ptr<SerialPool>(new SqlPool(std::move(*db), source, *key));
}

Result<QList<SerialEntry>> SqlPool::list(const QString& location, int busyTimeoutMs) {
    auto where = locationOf(location, true);
    if (!where)
        return where.failure();
    auto db = Database::open(*where, busyTimeoutMs);
    if (!db)
        return db.failure();
    if (auto schema = StoreSchema::ensure(**db, false); !schema)
        return schema.failure();
    return readEntries(**db);
}

Result<SerialValue> SqlPool::issue(const QString& deviceKey) {
    if (m_closed)
        return Failure{Failure::Cause::Usage, QStringLiteral("the run has ended: no more values")};
    if (m_lost)
        return Failure{Failure::Cause::Store,
                       QStringLiteral("%1: the connection was lost during the run").arg(m_db->shown())};
    const Database& db = *m_db;
    SerialValue issued;
    auto done = db.transaction([&]() -> Result<void> {
        auto next = db.exec(QStringLiteral("SELECT next_ordinal FROM serial_source") + db.forUpdate());
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
            db.exec(QStringLiteral("INSERT INTO serials (ordinal, value, bytes, state, run_key, device, "
                                   "issued_at) VALUES (?, ?, ?, 'issued', ?, ?, ?)"),
                    {ordinal, value->text, value->bytes, m_runKey, notNull(deviceKey), now()});
        if (!inserted)
            return inserted.failure();
        auto moved = db.exec(QStringLiteral("UPDATE serial_source SET next_ordinal = ?"), {ordinal + 1});
        if (!moved)
            return moved.failure();
        issued = *value;
        return success();
    });
    if (!done) {
        // A connection that failed may have lost this run's lock with it: another station may
        // take the run for dead, so it issues nothing more.
        if (done.failure().cause == Failure::Cause::Store)
            m_lost = true;
        return done.failure();
    }
    return issued;
}

Result<void> SqlPool::available(qint64 count) {
    if (count <= 0)
        return success();
    auto next = m_db->exec(QStringLiteral("SELECT next_ordinal FROM serial_source"));
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

// Written at once where the store answers (after one new connection where the old one failed);
// kept in the spool where it does not.
Result<SerialPool::Settled> SqlPool::settle(const SerialValue& value, SerialState state,
                                            const QJsonObject& fields) {
    QJsonObject entry = fields;
    entry.insert(QStringLiteral("ordinal"), value.ordinal);
    entry.insert(QStringLiteral("run_key"), m_runKey);
    entry.insert(QStringLiteral("serial"), value.text);
    entry.insert(QStringLiteral("state"), serialStateName(state));
    entry.insert(QStringLiteral("settled_at"), now());
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto settled = settleInStore(*m_db, entry);
        if (settled && *settled == 1)
            return Settled::Stored;
        if (settled) {
            auto query =
                m_db->exec(QStringLiteral("SELECT state FROM serials WHERE ordinal = ? AND run_key = ?"),
                           {value.ordinal, m_runKey});
            const QString current =
                query && query->next() ? query->value(0).toString() : QStringLiteral("not issued");
            return Failure{
                Failure::Cause::Usage,
                QStringLiteral("serial %1 is not issued to this run (it is %2)").arg(value.text, current)};
        }
        // A connection opened anew holds no lock of this run's: another station may take the run
        // for dead from now on, so it issues nothing more.
        m_lost = true;
        if (attempt == 0 && !m_db->reconnect())
            break;
    }
    if (auto kept = m_spool.append(entry); !kept)
        return kept.failure();
    return Settled::Spooled;
}

Result<SerialPool::Settled> SqlPool::programmed(const SerialValue& value, const ProgrammedInfo& info) {
    return settle(value, SerialState::Programmed,
                  {{"target", info.target},
                   {"device_address", info.deviceAddress},
                   {"boot_info", info.bootInfo},
                   {"image_sha256", info.imageSha256}});
}

Result<SerialPool::Settled> SqlPool::voided(const SerialValue& value, const QString& why) {
    return settle(value, SerialState::Void, {{"void_reason", why}});
}

Result<QList<SerialEntry>> SqlPool::entries() {
    return readEntries(*m_db);
}

Result<void> SqlPool::close() {
    if (m_closed)
        return success();
    const Database& db = *m_db;
    // What this run (or an earlier one of the station) kept while the store was away goes first:
    // those devices' outcomes, before their values would be voided here as without one.
    if (m_lost && m_db->reconnect())
        (void)deliverSpool(db, m_spool);
    auto done = db.transaction(
        [&]() -> Result<void> { return endRun(db, m_runKey, EndedReason, QStringLiteral("closed")); });
    // A run that could not be closed (the server is away) is found dead by the next run, which
    // voids what it left issued.
    m_closed = true;
    return done;
}
