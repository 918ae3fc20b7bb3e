#include "store/serial_pool.h"

#include "store/sqlite_pool.h"

QString serialStateName(SerialState state) {
    switch (state) {
    case SerialState::Programmed:
        return QStringLiteral("programmed");
    case SerialState::Void:
        return QStringLiteral("void");
    case SerialState::Issued:
        break;
    }
    return QStringLiteral("issued");
}

// A pool is an SQLite file today; a PostgreSQL location ("postgresql://...") will pick its own
// backend here.
Result<std::unique_ptr<SerialPool>> SerialPool::open(const QString& path, const SerialSource& source,
                                                     const RunIdentity& run, int busyTimeoutMs) {
    return SqlitePool::open(path, source, run, busyTimeoutMs);
}

Result<QList<SerialEntry>> SerialPool::list(const QString& path, int busyTimeoutMs) {
    return SqlitePool::list(path, busyTimeoutMs);
}
