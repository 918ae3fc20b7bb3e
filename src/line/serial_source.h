#pragma once

#include "core/io/result.h"
#include "line/serial_image.h"
#include "store/serial_source.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// The three sources of serial values, as a pool takes them: a counter, a list file and an SQTP
// file. Files are read whole, once, and remembered by the SHA-256 of the bytes read; every value
// is checked when the file is read, so a bad line stops a run before anything is handed out.

// The largest list or SQTP file read.
constexpr qsizetype MaxSerialFileBytes = 16 * 1024 * 1024;

// --serial-start and --serial-step.
[[nodiscard]] Result<SerialSource> counterSerials(SerialFormat format, int size, QStringView start,
                                                  QStringView step);

// A list: one value a line, in order, as encodeSerialText takes it; '#' starts a comment, blanks
// around a value and blank lines are skipped. A value that is there twice is refused (it would be
// handed out twice). Failures name the file and line: "serials.txt:12: ...".
struct SerialList {
    QString sha256;
    QList<SerialBytes> values;
};
[[nodiscard]] Result<SerialList> parseSerialList(QByteArrayView text, const QString& name,
                                                 SerialFormat format, int size);
[[nodiscard]] Result<SerialSource> listSerials(const QString& path, SerialFormat format, int size);

// An SQTP file (.num): Intel HEX records, each part's number in a data record, an 04 record giving
// the upper address bits of those after it, an end-of-file record last. Only those three types
// are taken. A record written with ';' in place of its ':' is one that a programmer marked as
// used: it keeps its place but is never handed out. The file itself is never written.
struct SqtpRecord {
    int line = 0;        // in the file, from 1
    quint32 address = 0; // absolute: the 04 base and the record's address
    QByteArray data;     // the part's number as it is to be written
    bool used = false;   // marked ';' in the file
};
struct SqtpFile {
    QString sha256;
    QList<SqtpRecord> records; // the data records, in file order
};
[[nodiscard]] Result<SqtpFile> parseSqtpFile(QByteArrayView text, const QString& name);
// The unused records in order; `size` > 0: every record must carry that many bytes. A value's
// text is its record's data in hexadecimal digits, its address the record's.
[[nodiscard]] Result<SerialSource> sqtpSerials(const QString& path, int size);
