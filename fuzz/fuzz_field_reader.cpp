// The delimited-field reader as the address book and the HEX loader use it: read whole, and read
// in pieces of arbitrary sizes as from a file, it must give the same fields.
#include "core/io/field_reader.h"
#include "core/link/address_book.h"
#include "core/transfer/hex_loader.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int piece = 1 + data[0] % 7;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const qsizetype limit = 1 + data[0] % 40;

    FieldReader whole(bytes);
    qsizetype at = 0;
    FieldReader pieces([&](char* buffer, qsizetype capacity) {
        const qsizetype n = qMin(qMin(capacity, qsizetype(piece)), bytes.size() - at);
        std::memcpy(buffer, bytes.constData() + at, size_t(n));
        at += n;
        return n;
    });
    QByteArray a, b;
    qsizetype fields = 0, chars = 0;
    for (;;) {
        const FieldReader::Status sa = whole.next(a, limit);
        const FieldReader::Status sb = pieces.next(b, limit);
        if (sa != sb || a != b || whole.fieldLine() != pieces.fieldLine())
            std::abort();
        if (sa != FieldReader::Status::Field)
            break;
        ++fields;
        chars += a.size();
        // Every field is made of input bytes, so together they cannot outgrow the input.
        if (chars > bytes.size() || fields > bytes.size() + 1 || a.size() > limit)
            std::abort();
        if (!a.isEmpty() && a.front() == ' ' && !bytes.contains('"'))
            std::abort(); // leading blanks are skipped outside quotes
    }

    FieldReader book(bytes);
    for (const QString& e : AddressBook::entriesFrom(book))
        if (e.isEmpty())
            std::abort();

    FieldReader hex(bytes);
    const auto lines = readHexLines(hex, 16);
    if (lines) {
        if (lines->count() > 16)
            std::abort();
        for (int i = 1; i <= lines->count(); ++i)
            if (lines->line(i).isEmpty())
                std::abort();
    } else if (lines.failure().cause != Failure::Cause::TooManyLines) {
        std::abort();
    }
    return 0;
}
