#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// The lines of a load, numbered from 1, Latin-1 as read: one byte a character, all in one block,
// so 9,000 records cost little more than their text.
class LineStore {
public:
    void append(QByteArrayView line) {
        m_text += line;
        m_ends.push_back(qint32(m_text.size()));
    }
    // Line `n`, 1 to count().
    [[nodiscard]] QByteArrayView line(int n) const {
        const qint32 begin = n > 1 ? m_ends[size_t(n - 2)] : 0;
        return QByteArrayView(m_text).sliced(begin, m_ends[size_t(n - 1)] - begin);
    }
    [[nodiscard]] int count() const { return int(m_ends.size()); }
    void squeeze() {
        m_text.squeeze();
        m_ends.shrink_to_fit();
    }

private:
    QByteArray m_text;
    std::vector<qint32> m_ends; // where each line ends in m_text
};
