#pragma once

#include "core/conversation/device_model.h"

#include <QByteArray>
#include <QHostAddress>

#include <map>
#include <optional>
#include <vector>

// A device's own time: it takes one request at a time, so one that comes while it works waits
// for those before it; reading a record costs `recordNs`, writing a flash row `rowNs` more. Pure:
// the caller says what time it is, on any clock in nanoseconds.
class DeviceTime {
public:
    DeviceTime(qint64 recordNs, qint64 rowNs) : m_recordNs(recordNs), m_rowNs(rowNs) {}

    // When the device is done with a request that came at `nowNs` and cost it `work`; the row's
    // time is scaled by `rowFactor` (a row write varies).
    qint64 done(qint64 nowNs, DeviceModel::Work work, double rowFactor = 1.0);

private:
    qint64 m_recordNs, m_rowNs;
    qint64 m_busyUntil = 0;
};

// Replies waiting for their time to leave (the device's own time, the line's delay and jitter),
// bounded: a client that does not wait for its answers, against a device that answers late,
// would otherwise cost memory without end. Pure, like DeviceTime.
class ReplyQueue {
public:
    static constexpr qsizetype MaxWaiting = 16384;

    struct Reply {
        QByteArray bytes;
        QHostAddress receiver;
        quint16 port = 0;
    };

    [[nodiscard]] bool full() const { return qsizetype(m_waiting.size()) >= MaxWaiting; }
    // Keeps `reply` to leave at `dueNs`, after those due no later (equal times keep their order);
    // false, and the reply counted as dropped, when MaxWaiting wait already.
    bool push(qint64 dueNs, Reply reply);
    // A request turned away because the queue was full.
    void countDropped() { ++m_dropped; }
    // The replies due by `nowNs`, earliest first; they leave the queue.
    [[nodiscard]] std::vector<Reply> takeDue(qint64 nowNs);
    // When the next reply is due; nothing when none waits.
    [[nodiscard]] std::optional<qint64> nextDue() const;
    [[nodiscard]] qsizetype size() const { return qsizetype(m_waiting.size()); }
    // Replies and requests dropped since the start.
    [[nodiscard]] quint64 dropped() const { return m_dropped; }

private:
    std::multimap<qint64, Reply> m_waiting;
    quint64 m_dropped = 0;
};
