#pragma once

#include "core/io/result.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// One value handed out: its place in its source (0, 1, ...), its canonical text (unique in a
// pool), the bytes that go into the device's image, and the address an SQTP record gives for them.
struct SerialValue {
    qint64 ordinal = -1;
    QString text;
    QByteArray bytes;
    std::optional<quint32> address;
};

// Where a pool's values come from. The fields before `path` say which source it is: a pool
// remembers them when it is made and refuses a run that brings another source, so that the next
// run goes on where the last one stopped and no value is handed out twice.
struct SerialSource {
    enum class Kind { Counter, List, Sqtp };

    Kind kind = Kind::Counter;
    QString format; // "be", "le", "ascii", "hex", "mac"; "sqtp" for an SQTP file's records
    int size = 0;   // bytes a value takes; 0 where the records say it
    QString start;  // a counter's first value and step, as canonical text
    QString step;
    QString sha256; // of a list or an SQTP file, hex
    QString path;   // the file it was read from: for messages only, as a file may move
    // The value at an ordinal: Exhausted where the source has none (or none that fits). The pool
    // calls it inside the transaction that issues the value, so it must neither block nor fail
    // for any other reason than these.
    std::function<Result<SerialValue>(qint64 ordinal)> valueAt;

    [[nodiscard]] static QString kindName(Kind kind) {
        switch (kind) {
        case Kind::List:
            return QStringLiteral("list");
        case Kind::Sqtp:
            return QStringLiteral("sqtp");
        case Kind::Counter:
            break;
        }
        return QStringLiteral("counter");
    }
};
