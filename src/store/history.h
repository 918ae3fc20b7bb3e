#pragma once

#include "store/database.h"
#include "store/spool.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>

#include <memory>

// The history of a line: every run and device record of the report's schema, stored as it is
// written, in the store's tables (an SQLite file or a PostgreSQL database, as the pool), so that
// one place answers which device got which firmware and which value, when, at which station, with
// what result. A record is stored once: a run's id with the device's key names it, and a record
// delivered again (from the spool, by a later run) changes nothing.
//
// A store that goes away during a run loses nothing: the records that cannot be stored are kept
// in the station's spool, delivered when the run ends if the store answers again, else by the next
// run that opens the history (or asks it with find()).
class History {
public:
    enum class Added { Stored, Spooled };

    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // The history at `location` (made on first use), with what the station's spool holds for it
    // delivered first. Refused: a store that cannot be reached (Store), one that is not ours.
    [[nodiscard]] static Result<std::unique_ptr<History>>
    open(const QString& location, int busyTimeoutMs = Database::DefaultBusyTimeoutMs);
    // The device records that name `what`: a serial value, a target as written, a device's key
    // (address:port, /n behind a gateway), or a SHA-256 (of the file loaded, or of a device's own
    // image), oldest first, each as the report wrote it. The spool is delivered first.
    [[nodiscard]] static Result<QList<QByteArray>> find(const QString& location, const QString& what,
                                                        int busyTimeoutMs = Database::DefaultBusyTimeoutMs);

    // One record, a JSON object as the report wrote it: stored, or kept in the spool when the
    // store does not answer (after one new connection); from then on every record goes to the
    // spool until finish(). Failure: not a record, or the spool could not keep it either.
    [[nodiscard]] Result<Added> add(const QByteArray& record);
    // At the run's end: where the store went away, one more try to deliver the spool. How many
    // records are still waiting there.
    [[nodiscard]] int finish();
    [[nodiscard]] bool lost() const { return m_lost; }
    [[nodiscard]] QString shown() const { return m_db->shown(); }
    [[nodiscard]] const QString& spoolPath() const { return m_spool.path(); }

private:
    History(std::unique_ptr<Database> db, Spool spool);

    std::unique_ptr<Database> m_db;
    Spool m_spool;
    bool m_lost = false;
    int m_spooled = 0;
};
