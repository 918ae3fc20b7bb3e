// The delimited-field reader as the address book and the HEX loader use it.
#include "address_book.h"
#include "field_reader.h"
#include "hex_loader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    FieldReader reader(bytes);
    QString field;
    qsizetype fields = 0, chars = 0;
    while (reader.readField(field)) {
        ++fields;
        chars += field.size();
        // Every field is made of input bytes, so together they cannot outgrow the input.
        if (chars > bytes.size() || fields > bytes.size() + 1)
            std::abort();
        if (!field.isEmpty() && field.front() == QLatin1Char(' ') && !bytes.contains('"'))
            std::abort(); // leading blanks are skipped outside quotes
    }
    if (!reader.atEnd())
        std::abort();

    const QStringList book = AddressBook::entriesFromFile(bytes);
    if (book.isEmpty())
        std::abort();
    for (const QString& e : book)
        if (e.isEmpty())
            std::abort();

    const auto lines = readHexLines(bytes, 16);
    if (const auto* l = std::get_if<QStringList>(&lines)) {
        if (l->size() > 16)
            std::abort();
        for (const QString& s : *l)
            if (s.isEmpty())
                std::abort();
    } else if (std::get<RuntimeError>(lines).number != 9) {
        std::abort();
    }
    return 0;
}
