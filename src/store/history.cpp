#include "store/history.h"

#include "core/io/files.h"
#include "store/schema.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QVariant>

namespace {

QVariant textOf(const QJsonObject& record, const char* field) {
    const QJsonValue value = record.value(QLatin1String(field));
    return value.isString() ? QVariant(value.toString()) : QVariant(QMetaType(QMetaType::QString));
}

// One record into its table; one already there (the same run, type and device) is left as it is.
Result<void> store(const Database& db, const QByteArray& text, const QJsonObject& r) {
    const QString type = r.value(QLatin1String("type")).toString();
    const QString runId = r.value(QLatin1String("run_id")).toString();
    // Qt binds a null text as NULL: a record without a station is stored with an empty one.
    const QString station = r.value(QLatin1String("station")).toString(QStringLiteral(""));
    const QString at = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    if (runId.isEmpty() || type.isEmpty())
        return Failure{Failure::Cause::Usage, QStringLiteral("a record without its run id or type")};
    Result<QSqlQuery> stored = Failure{Failure::Cause::Usage, QString()};
    if (type == QLatin1String("run")) {
        stored = db.exec(QStringLiteral("INSERT INTO run_records (run_id, station, operation, file, sha256, "
                                        "start_at, end_at, exit_code, record, stored_at) VALUES "
                                        "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (run_id) DO NOTHING"),
                         {runId, station, textOf(r, "operation"), textOf(r, "file"), textOf(r, "sha256"),
                          textOf(r, "start"), textOf(r, "end"), r.value(QLatin1String("exit_code")).toInt(),
                          QString::fromUtf8(text), at});
    } else {
        const QString key = r.value(QLatin1String("device_key")).isString()
                                ? r.value(QLatin1String("device_key")).toString()
                                : r.value(QLatin1String("target")).toString(QStringLiteral(""));
        stored =
            db.exec(QStringLiteral(
                        "INSERT INTO device_records (run_id, type, record_key, station, target, device_key, "
                        "serial, image_sha256, sha256, result, start_at, end_at, record, stored_at) VALUES "
                        "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (run_id, type, record_key) "
                        "DO NOTHING"),
                    {runId, type, key, station, textOf(r, "target"), textOf(r, "device_key"),
                     textOf(r, "serial"), textOf(r, "image_sha256"), textOf(r, "sha256"), textOf(r, "result"),
                     textOf(r, "start"), textOf(r, "end"), QString::fromUtf8(text), at});
    }
    return stored ? success() : Result<void>(stored.failure());
}

Result<QJsonObject> recordOf(const QByteArray& text) {
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!document.isObject())
        return Failure{Failure::Cause::Usage, QStringLiteral("a record that is no JSON object")};
    return document.object();
}

Result<int> deliver(const Database& db, const Spool& spool) {
    return spool.deliver([&](const QJsonObject& entry) -> Result<void> {
        const QByteArray text = entry.value(QLatin1String("record")).toString().toUtf8();
        auto record = recordOf(text);
        if (!record)
            return success(); // kept by no one: it cannot be stored, now or later
        auto stored = store(db, text, *record);
        // A record the store refuses as such (not one of ours) would stop every delivery after
        // it: only a store that fails stops it.
        return stored || stored.failure().cause != Failure::Cause::Store ? success() : stored;
    });
}

Result<std::unique_ptr<Database>> openStore(const QString& location, int busyTimeoutMs) {
    auto where = StoreLocation::parse(location);
    if (!where)
        return where.failure();
    if (!where->isPostgres() && !isRegularFileOrAbsent(location))
        return Failure{Failure::Cause::NotRegularFile,
                       QStringLiteral("%1 is not a regular file").arg(location)};
    auto db = Database::open(*where, busyTimeoutMs);
    if (!db)
        return db.failure();
    if (!where->isPostgres()) {
        // Readers never wait for the writer (another station's process on this PC).
        (void)(*db)->exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    }
    const Database& opened = **db;
    auto made = opened.transaction([&]() -> Result<void> {
        if (auto locked = StoreSchema::lockForOpening(opened); !locked)
            return locked;
        return StoreSchema::ensure(opened, true);
    });
    if (!made)
        return made.failure();
    return db;
}

} // namespace

History::History(std::unique_ptr<Database> db, Spool spool)
    : m_db(std::move(db)), m_spool(std::move(spool)) {}

History::~History() = default;

Result<std::unique_ptr<History>> History::open(const QString& location, int busyTimeoutMs) {
    auto db = openStore(location, busyTimeoutMs);
    if (!db)
        return db.failure();
    Spool spool(Spool::pathFor((*db)->location(), QStringLiteral("history")));
    if (auto delivered = deliver(**db, spool); !delivered)
        return delivered.failure();
    return std::unique_ptr<History>(new History(std::move(*db), std::move(spool)));
}

Result<QList<QByteArray>> History::find(const QString& location, const QString& what, int busyTimeoutMs) {
    // A question makes no store: a mistyped file name is said, not made.
    if (!isDatabaseUrl(location) && !QFileInfo::exists(location))
        return Failure{Failure::Cause::FileNotFound, QStringLiteral("no history at %1").arg(location)};
    auto history = open(location, busyTimeoutMs);
    if (!history)
        return history.failure();
    // A SHA-256 is written in lower case in the records, whatever case it is asked in.
    static const QRegularExpression sha(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const QString hash = sha.match(what).hasMatch() ? what.toLower() : what;
    auto query = (*history)->m_db->exec(
        QStringLiteral(
            "SELECT record FROM device_records WHERE serial = ? OR target = ? OR device_key = ? OR "
            "image_sha256 = ? OR sha256 = ? ORDER BY start_at, id"),
        {what, what, what, hash, hash});
    if (!query)
        return query.failure();
    QList<QByteArray> records;
    while (query->next())
        records << query->value(0).toString().toUtf8();
    return records;
}

Result<History::Added> History::add(const QByteArray& record) {
    auto parsed = recordOf(record);
    if (!parsed)
        return parsed.failure();
    if (!m_lost) {
        auto stored = store(*m_db, record, *parsed);
        if (!stored && stored.failure().cause == Failure::Cause::Store && m_db->reconnect())
            stored = store(*m_db, record, *parsed);
        if (stored)
            return Added::Stored;
        if (stored.failure().cause != Failure::Cause::Store)
            return stored.failure();
        m_lost = true;
    }
    // The record's text as the report wrote it, so that the history holds the same bytes.
    if (auto kept = m_spool.append({{"record", QString::fromUtf8(record)}}); !kept)
        return kept.failure();
    ++m_spooled;
    return Added::Spooled;
}

int History::finish() {
    if (!m_lost || !m_db->reconnect())
        return m_spooled;
    if (auto delivered = deliver(*m_db, m_spool); delivered) {
        m_lost = false;
        m_spooled = 0;
    }
    return m_spooled;
}
