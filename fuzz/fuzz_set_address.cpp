// "Set Addr" number reading: any text gives two upper-case hex digits or nothing, never a trap.
#include "core/protocol/set_address.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto v = basicVal(text);
    if (v && !std::isfinite(*v))
        std::abort();
    const auto digits = setAddressDigits(text);
    if (digits) {
        if (digits->size() != 2)
            std::abort();
        for (const QChar c : *digits)
            if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                  (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
                std::abort();
        // The digits are the low byte of the rounded value.
        const auto n = roundToInt32(*v);
        if (!n || digits->toUInt(nullptr, 16) != (quint32(*n) & 0xFF))
            std::abort();
    } else if (v && roundToInt32(*v)) {
        std::abort(); // a representable value always gives digits
    }
    return 0;
}
