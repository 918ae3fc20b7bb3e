#pragma once

#include "core/io/result.h"
#include "store/run_identity.h"
#include "store/serial_source.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

// The pool of serial values on disk: which values of a source were handed out, to which device,
// and what became of each. A value goes through three states:
//   issued      handed to a device, committed before the first datagram that carries it leaves;
//   programmed  the device's verify pass ended well;
//   void        it went out but the device failed, or its run ended (or died) before the outcome:
//               it may sit in a device's memory, so it is never handed out again.
// A value never issued is never void: the next one issued is the first one never issued.
//
// Several processes may share one pool at once and never get the same value: each value is
// taken in a transaction of the store's own. A run that dies (SIGKILL, power loss) leaves values
// issued without an outcome; the next run to open the pool voids them before it hands out
// anything, but only those of runs that no longer run (see runLiveness).
//
// One pool object belongs to the thread that opened it (a Qt SQL connection does).

enum class SerialState { Issued, Programmed, Void };

// "issued", "programmed", "void": the words of the table and the JSON records.
[[nodiscard]] QString serialStateName(SerialState state);

// What a device that ended well is recorded with.
struct ProgrammedInfo {
    QString target;        // as the operator named it
    QString deviceAddress; // where it answered from
    QString bootInfo;      // its boot information
    QString imageSha256;   // of the lines it was sent, hex
};

// One value of a pool as --serials lists it.
struct SerialEntry {
    qint64 ordinal = 0;
    QString value;
    SerialState state = SerialState::Issued;
    QString device; // the key the run issued it for
    QString runId;
    QDateTime issuedAt;  // UTC
    QDateTime settledAt; // UTC, when it became programmed or void; invalid while issued
    QString target;      // programmed values: ProgrammedInfo
    QString deviceAddress;
    QString bootInfo;
    QString imageSha256;
    QString voidReason; // void values: why
};

class SerialPool {
public:
    // How long a process waits for another's transaction before it gives up (Store).
    static constexpr int DefaultBusyTimeoutMs = 30000;

    virtual ~SerialPool() = default;

    // Opens the pool at `location` (an SQLite file, or a PostgreSQL URL: see StoreLocation; made
    // with its schema on first use) for the run `run` taking values from `source`. Refused: a
    // path that is not a regular file, a store that is not ours (or of a later schema), a store
    // that cannot be reached (Store), and a pool made for another source (the detail says which
    // it was made for and what this run gives). Before it returns, the outcomes a station kept in
    // its spool are delivered, the issued values of runs that no longer run are voided and this
    // run is registered.
    [[nodiscard]] static Result<std::unique_ptr<SerialPool>> open(const QString& location,
                                                                  const SerialSource& source,
                                                                  const RunIdentity& run,
                                                                  int busyTimeoutMs = DefaultBusyTimeoutMs);
    // The entries of the pool at `location` in source order, changing nothing (--serials). A
    // path where there is no file is FileNotFound.
    [[nodiscard]] static Result<QList<SerialEntry>> list(const QString& location,
                                                         int busyTimeoutMs = DefaultBusyTimeoutMs);

    // The next value, issued to `deviceKey` in one transaction that is committed before this
    // returns. Exhausted when the source has no value left; no value is issued then.
    [[nodiscard]] virtual Result<SerialValue> issue(const QString& deviceKey) = 0;
    // Whether `count` more values can be issued now: Exhausted, saying how many are left, when
    // not. Another process on the pool may still take some first.
    [[nodiscard]] virtual Result<void> available(qint64 count) = 0;
    // The value this run issued, now programmed or void. Refused for a value that is not issued
    // to this run (already settled, or voided by a later run that took this one for dead).
    // Stored, or Spooled: the store could not be reached, the outcome waits in the station's
    // spool for the next run that opens the pool (and no more values are issued by this one).
    enum class Settled { Stored, Spooled };
    [[nodiscard]] virtual Result<Settled> programmed(const SerialValue& value,
                                                     const ProgrammedInfo& info) = 0;
    [[nodiscard]] virtual Result<Settled> voided(const SerialValue& value, const QString& why) = 0;
    [[nodiscard]] virtual Result<QList<SerialEntry>> entries() = 0;
    // Ends the run: its values still issued are voided (they may have gone out), and no more
    // are issued. The destructor does it when it was not done.
    [[nodiscard]] virtual Result<void> close() = 0;
};
