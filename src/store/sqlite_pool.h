#pragma once

#include "store/serial_pool.h"

#include <QSqlDatabase>

// The pool in an SQLite file through Qt SQL: one named connection per pool, WAL so that readers
// never wait for the writer, synchronous=FULL so that a committed value survives a power loss,
// and BEGIN IMMEDIATE for every change, so that two processes take turns (each waits up to the
// busy time-out for the other) instead of failing halfway.
//
// Which runs still run is told by their process (runLiveness): the runs table keeps host, pid,
// boot id and start time. For PostgreSQL the same tables serve: the run's key doubles as the key
// of a session advisory lock its connection holds, and a run whose lock can be taken is dead.
class SqlitePool final : public SerialPool {
public:
    ~SqlitePool() override;

    [[nodiscard]] static Result<std::unique_ptr<SerialPool>>
    open(const QString& path, const SerialSource& source, const RunIdentity& run, int busyTimeoutMs);
    [[nodiscard]] static Result<QList<SerialEntry>> list(const QString& path, int busyTimeoutMs);

    Result<SerialValue> issue(const QString& deviceKey) override;
    Result<void> available(qint64 count) override;
    Result<void> programmed(const SerialValue& value, const ProgrammedInfo& info) override;
    Result<void> voided(const SerialValue& value, const QString& why) override;
    Result<QList<SerialEntry>> entries() override;
    Result<void> close() override;

private:
    SqlitePool(QString connection, SerialSource source, qint64 runKey);
    [[nodiscard]] QSqlDatabase database() const;
    Result<void> settle(const SerialValue& value, SerialState state, const QStringList& columns,
                        const QVariantList& values);

    QString m_connection;
    SerialSource m_source;
    qint64 m_runKey = 0;
    bool m_closed = false;
};
