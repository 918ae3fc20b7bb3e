#include "reply_queue.h"

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
