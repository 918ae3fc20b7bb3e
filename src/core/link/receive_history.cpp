#include "core/link/receive_history.h"

QString trimTrailingSpaces(const QString& text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == QLatin1Char(' '))
        --end;
    return end == text.size() ? text : text.left(end);
}

void ReceiveHistory::push(const QString& reply) {
    for (int i = Size - 1; i > 0; --i)
        m_lines[size_t(i)] = std::move(m_lines[size_t(i - 1)]);
    m_lines[0] = reply;
}

QString ReceiveHistory::consoleText(const QString& separator) const {
    QString out;
    for (int i = Size - 1; i >= 0; --i) {
        out += m_lines[size_t(i)];
        if (i > 0)
            out += separator;
    }
    return out;
}
