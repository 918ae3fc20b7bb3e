#pragma once

#include <QByteArray>
#include <QString>

// Sequential reader of comma- and line-delimited text fields, the way classic
// BASIC "Input #" reads them. Bytes are single-byte text (Latin-1).
//  - blanks in front of a field are skipped;
//  - a field that begins with a double quote runs to the next double quote
//    (quotes dropped); whatever follows it up to the next comma or line end is dropped;
//  - any other field runs up to the next comma or line end, trailing blanks dropped;
//  - CR LF, LF and CR each end a line; an empty line gives an empty field.
class FieldReader {
public:
    explicit FieldReader(QByteArray data) : m_data(std::move(data)) {}

    [[nodiscard]] bool atEnd() const { return m_pos >= m_data.size(); }

    // Reads the next field. Returns false (and leaves text empty) when called at the end.
    bool readField(QString& text);

private:
    void skipDelimiter();

    QByteArray m_data;
    qsizetype m_pos = 0;
};
