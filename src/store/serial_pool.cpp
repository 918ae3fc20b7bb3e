#include "store/serial_pool.h"

#include "store/sql_pool.h"

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

Result<std::unique_ptr<SerialPool>> SerialPool::open(const QString& location, const SerialSource& source,
                                                     const RunIdentity& run, int busyTimeoutMs) {
    return SqlPool::open(location, source, run, busyTimeoutMs);
}

Result<QList<SerialEntry>> SerialPool::list(const QString& location, int busyTimeoutMs) {
    return SqlPool::list(location, busyTimeoutMs);
}
