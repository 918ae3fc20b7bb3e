#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>

class QObject;

// Looks up a device's name without holding the event thread: a name that does not resolve would
// freeze a window for seconds. Programs use system(); tests hand in one that answers when told.
struct HostLookup {
    using Answer = std::function<void(const QList<QHostAddress>& addresses, const QString& error)>;
    // Starts a look-up of `host`. `answer` runs once on the event thread with the addresses found
    // (none: not found, and why), unless `context` is gone or the look-up was abandoned first.
    // Returns an id.
    std::function<int(const QString& host, QObject* context, Answer answer)> start;
    // Abandons the look-up `id` (its thread is freed for the next one).
    std::function<void(int id)> abandon;

    static HostLookup system();
};
