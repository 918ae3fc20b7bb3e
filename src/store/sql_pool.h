#pragma once

#include "store/database.h"
#include "store/serial_pool.h"
#include "store/spool.h"

// The pool in a store of Qt SQL's, an SQLite file or a PostgreSQL database, with the same tables.
//
// SQLite: WAL so that readers never wait for the writer, synchronous=FULL so that a committed
// value survives a power loss, BEGIN IMMEDIATE for every change, so that two processes take turns
// (each waits up to the busy time-out for the other). Which runs still run is told by their
// process (runLiveness): the runs table keeps host, pid, boot id and start time.
//
// PostgreSQL: a value is taken with its source's row locked (FOR UPDATE), so stations take turns
// at it. A run's connection holds a session advisory lock on (StoreSchema::LockClass, run key)
// from the transaction that registers it: a station knows its own runs by the locks it holds, and
// a run whose lock another station can take has lost its connection (the station died, or the
// server restarted under it) and is dead for the pool: its issued values are voided. A run that
// lost its connection issues nothing more; its outcomes are written once the server answers
// again, or kept in the station's spool and delivered by the next run that opens the pool.
class SqlPool final : public SerialPool {
public:
    ~SqlPool() override;

    [[nodiscard]] static Result<std::unique_ptr<SerialPool>>
    open(const QString& location, const SerialSource& source, const RunIdentity& run, int busyTimeoutMs);
    [[nodiscard]] static Result<QList<SerialEntry>> list(const QString& location, int busyTimeoutMs);

    Result<SerialValue> issue(const QString& deviceKey) override;
    Result<void> available(qint64 count) override;
    Result<Settled> programmed(const SerialValue& value, const ProgrammedInfo& info) override;
    Result<Settled> voided(const SerialValue& value, const QString& why) override;
    Result<QList<SerialEntry>> entries() override;
    Result<void> close() override;

private:
    SqlPool(std::unique_ptr<Database> db, SerialSource source, qint64 runKey);
    Result<Settled> settle(const SerialValue& value, SerialState state, const QJsonObject& fields);

    std::unique_ptr<Database> m_db;
    SerialSource m_source;
    qint64 m_runKey = 0;
    Spool m_spool;
    bool m_closed = false;
    bool m_lost = false; // the connection failed once: nothing more is issued
};
