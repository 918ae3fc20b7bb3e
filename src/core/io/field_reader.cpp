#include "field_reader.h"

namespace {
bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}
} // namespace

bool FieldReader::readField(QString& text) {
    text.clear();
    if (atEnd())
        return false;
    const qsizetype n = m_data.size();
    while (m_pos < n && m_data[m_pos] == ' ')
        ++m_pos;

    if (m_pos < n && m_data[m_pos] == '"') {
        const qsizetype start = ++m_pos;
        qsizetype end = m_data.indexOf('"', start);
        if (end < 0)
            end = n;
        text = QString::fromLatin1(m_data.constData() + start, end - start);
        m_pos = end < n ? end + 1 : n;
        // Anything between the closing quote and the delimiter is not part of the field.
        while (m_pos < n && m_data[m_pos] != ',' && !isLineEnd(m_data[m_pos]))
            ++m_pos;
    } else {
        const qsizetype start = m_pos;
        while (m_pos < n && m_data[m_pos] != ',' && !isLineEnd(m_data[m_pos]))
            ++m_pos;
        qsizetype end = m_pos;
        while (end > start && m_data[end - 1] == ' ')
            --end;
        text = QString::fromLatin1(m_data.constData() + start, end - start);
    }
    skipDelimiter();
    return true;
}

void FieldReader::skipDelimiter() {
    const qsizetype n = m_data.size();
    if (m_pos >= n)
        return;
    const char c = m_data[m_pos];
    if (c == ',') {
        ++m_pos;
        // A comma closing the last field of a line also takes that line's end, so "a,b,\r\n"
        // does not yield a phantom empty line.
        if (m_pos < n && isLineEnd(m_data[m_pos]))
            skipDelimiter();
        return;
    }
    ++m_pos;
    if (c == '\r' && m_pos < n && m_data[m_pos] == '\n')
        ++m_pos;
}
