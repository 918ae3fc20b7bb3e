#include "reply_queue.h"

#include <algorithm>

qint64 DeviceTime::done(qint64 nowNs, DeviceModel::Work work, double rowFactor) {
    qint64 cost = 0;
    if (work != DeviceModel::Work::None)
        cost += m_recordNs;
    if (work == DeviceModel::Work::RowWrite)
        cost += qint64(double(m_rowNs) * rowFactor);
    m_busyUntil = std::max(m_busyUntil, nowNs) + cost;
    return m_busyUntil;
}

bool ReplyQueue::push(qint64 dueNs, Reply reply) {
    if (full()) {
        ++m_dropped;
        return false;
    }
    m_waiting.emplace(dueNs, std::move(reply)); // after any equal key: the order is kept
    return true;
}

std::vector<ReplyQueue::Reply> ReplyQueue::takeDue(qint64 nowNs) {
    std::vector<Reply> due;
    const auto end = m_waiting.upper_bound(nowNs);
    for (auto it = m_waiting.begin(); it != end; ++it)
        due.push_back(std::move(it->second));
    m_waiting.erase(m_waiting.begin(), end);
    return due;
}

std::optional<qint64> ReplyQueue::nextDue() const {
    if (m_waiting.empty())
        return std::nullopt;
    return m_waiting.begin()->first;
}
