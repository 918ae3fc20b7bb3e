#pragma once

#include <QByteArray>

#include <functional>

// Sequential reader of comma- and line-delimited text fields, the way classic BASIC "Input #"
// reads them. Bytes are single-byte text (Latin-1).
//  - blanks in front of a field are skipped;
//  - a field that begins with a double quote runs to the next double quote (quotes dropped);
//    whatever follows it up to the next comma or line end is dropped;
//  - any other field runs up to the next comma or line end, trailing blanks dropped;
//  - CR LF, LF and CR each end a line; an empty line gives an empty field; a comma that closes
//    the last field of a line takes the line end with it.
// The bytes come from memory or from a source read piece by piece, so a reader never holds more
// of a file than the field it is reading.
class FieldReader {
public:
    // Fills `buffer` with up to `capacity` bytes: their number, 0 at the end, -1 on a read error.
    using Source = std::function<qsizetype(char* buffer, qsizetype capacity)>;

    enum class Status {
        Field,     // a field was read
        End,       // nothing left: a read at the end fails
        TooLong,   // the field is longer than the limit; reading stops here
        ReadError, // the source failed
    };

    explicit FieldReader(QByteArray data);
    explicit FieldReader(Source source);

    // Reads the next field into `field`. A field longer than `maxBytes` gives TooLong.
    Status next(QByteArray& field, qsizetype maxBytes);
    // The line (from 1) on which the field read last began.
    [[nodiscard]] int fieldLine() const { return m_fieldLine; }

private:
    // The byte at the read position, or -1 at the end or after a read error.
    int peek();
    void take();
    void takeLineEnd(char first);
    void skipDelimiter();
    // The field's bytes into `field`; false when it is longer than `maxBytes`.
    bool readQuoted(QByteArray& field, qsizetype maxBytes);
    bool readPlain(QByteArray& field, qsizetype maxBytes);

    Source m_source;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_sourceDone = false;
    bool m_readError = false;
    int m_line = 1;
    int m_fieldLine = 0;
};
