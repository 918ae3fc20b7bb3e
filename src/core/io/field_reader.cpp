#include "core/io/field_reader.h"

#include <algorithm>

namespace {
constexpr qsizetype ChunkBytes = 64 * 1024;

bool isLineEnd(int c) {
    return c == '\r' || c == '\n';
}
} // namespace

FieldReader::FieldReader(QByteArray data) : m_buffer(std::move(data)), m_sourceDone(true) {}

FieldReader::FieldReader(Source source) : m_source(std::move(source)) {}

int FieldReader::peek() {
    if (m_pos < m_buffer.size())
        return uchar(m_buffer[m_pos]);
    if (m_sourceDone)
        return -1;
    // Refill: only the bytes not yet taken are kept, so memory stays at one chunk.
    m_buffer.resize(ChunkBytes);
    m_pos = 0;
    const qsizetype got = m_source(m_buffer.data(), ChunkBytes);
    if (got <= 0) {
        m_buffer.clear();
        m_sourceDone = true;
        m_readError = got < 0;
        return -1;
    }
    m_buffer.resize(got);
    return uchar(m_buffer[0]);
}

void FieldReader::take() {
    ++m_pos;
}

void FieldReader::takeLineEnd(char first) {
    take();
    ++m_line;
    if (first == '\r' && peek() == '\n')
        take();
}

FieldReader::Status FieldReader::next(QByteArray& field, qsizetype maxBytes) {
    field.clear();
    if (peek() < 0)
        return m_readError ? Status::ReadError : Status::End;
    while (peek() == ' ')
        take();
    m_fieldLine = m_line;

    const bool complete = peek() == '"' ? readQuoted(field, maxBytes) : readPlain(field, maxBytes);
    if (!complete)
        return Status::TooLong;
    skipDelimiter();
    return m_readError ? Status::ReadError : Status::Field;
}

bool FieldReader::readQuoted(QByteArray& field, qsizetype maxBytes) {
    take(); // the opening quote
    int c = peek();
    for (; c >= 0 && c != '"'; c = peek()) {
        if (field.size() >= maxBytes)
            return false;
        field += char(c);
        take();
        // Line ends inside quotes belong to the field, but still count as lines.
        if (c == '\n' || (c == '\r' && peek() != '\n'))
            ++m_line;
    }
    if (c == '"')
        take();
    // Anything between the closing quote and the delimiter is not part of the field.
    for (c = peek(); c >= 0 && c != ',' && !isLineEnd(c); c = peek())
        take();
    return true;
}

bool FieldReader::readPlain(QByteArray& field, qsizetype maxBytes) {
    // Taken a run at a time, up to the delimiter or the end of what the buffer holds.
    for (int c = peek(); c >= 0 && c != ',' && !isLineEnd(c); c = peek()) {
        qsizetype end = m_pos;
        while (end < m_buffer.size() && m_buffer[end] != ',' && !isLineEnd(m_buffer[end]))
            ++end;
        // Past the limit the field holds its first maxBytes bytes, however the input came.
        const qsizetype take = std::min(end - m_pos, maxBytes - field.size());
        field.append(m_buffer.constData() + m_pos, take);
        m_pos += take;
        if (m_pos < end)
            return false;
    }
    qsizetype end = field.size();
    while (end > 0 && field[end - 1] == ' ')
        --end;
    field.truncate(end);
    return true;
}

void FieldReader::skipDelimiter() {
    const int c = peek();
    if (c == ',') {
        take();
        // A comma closing the last field of a line also takes that line's end, so "a,b,\r\n"
        // does not yield a phantom empty line.
        const int after = peek();
        if (isLineEnd(after))
            takeLineEnd(char(after));
    } else if (isLineEnd(c)) {
        takeLineEnd(char(c));
    }
}
