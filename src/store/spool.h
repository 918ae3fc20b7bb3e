#pragma once

#include "core/io/result.h"
#include "store/database.h"

#include <QJsonObject>
#include <QString>

#include <functional>

// What a store could not take when it came (the server went away mid-run), kept on the station's
// own disk until it can: one JSON object a line, appended and synced under the file's lock, so
// that two runs of one station never interleave or deliver the same entry twice at once. The
// entries themselves are made so that delivering one twice stores it once.
class Spool {
public:
    // The spool of `kind` ("history", "serials") for the store `where`:
    // $XDG_STATE_HOME/velta/spool-<kind>-<SHA-256 of the store's name>.jsonl, ~/.local/state by
    // default. The file and its folder are made only when an entry is kept.
    [[nodiscard]] static QString pathFor(const StoreLocation& where, const QString& kind);

    explicit Spool(QString path) : m_path(std::move(path)) {}
    [[nodiscard]] const QString& path() const { return m_path; }

    // Keeps `entry`, on disk before this returns.
    [[nodiscard]] Result<void> append(const QJsonObject& entry) const;
    // Gives each entry to `deliver` in the order kept; the first that fails ends the delivery, it
    // and those after it stay, as does a line that is no entry (kept for a person to read). How
    // many were delivered.
    [[nodiscard]] Result<int> deliver(const std::function<Result<void>(const QJsonObject&)>& deliver) const;

private:
    QString m_path;
};
