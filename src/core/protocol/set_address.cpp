#include "core/protocol/set_address.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<double> radixValue(const std::string& s, size_t pos, int radix) {
    quint64 v = 0;
    for (; pos < s.size(); ++pos) {
        const char c = s[pos];
        int d;
        if (isDigit(c))
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        if (d >= radix)
            break;
        v = v * quint64(radix) + quint64(d);
        if (v > 0xFFFFFFFFull)
            return std::nullopt; // wider than 32 bits
    }
    // Hexadecimal and octal literals are 32-bit two's complement: &HFFFFFFFF is -1.
    return double(qint32(quint32(v)));
}
} // namespace

std::optional<double> basicVal(const QString& text) {
    // Only the ASCII subset can form a number; anything else ends it.
    std::string s;
    s.reserve(size_t(text.size()));
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u == ' ' || u == '\t' || u == '\n')
            continue;
        s.push_back(u < 128 ? char(u) : '\x7f');
    }

    if (s.size() >= 2 && s[0] == '&') {
        const char k = s[1];
        if (k == 'H' || k == 'h')
            return radixValue(s, 2, 16);
        if (k == 'O' || k == 'o')
            return radixValue(s, 2, 8);
        return 0.0;
    }

    // Longest prefix of the form [sign] digits [. digits] [E|D [sign] digits].
    std::string num;
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        num.push_back(s[i++]);
    bool mantissaDigits = false;
    while (i < s.size() && isDigit(s[i])) {
        num.push_back(s[i++]);
        mantissaDigits = true;
    }
    if (i < s.size() && s[i] == '.') {
        num.push_back(s[i++]);
        while (i < s.size() && isDigit(s[i])) {
            num.push_back(s[i++]);
            mantissaDigits = true;
        }
    }
    if (!mantissaDigits)
        return 0.0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        size_t j = i + 1;
        std::string exp = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            exp.push_back(s[j++]);
        bool expDigits = false;
        while (j < s.size() && isDigit(s[j])) {
            exp.push_back(s[j++]);
            expDigits = true;
        }
        if (expDigits)
            num += exp;
    }
    // strtod reads the C locale's period, whatever the user's locale says.
    const double v = std::strtod(num.c_str(), nullptr);
    if (!std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<qint32> roundToInt32(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    const double r = std::nearbyint(value); // default rounding mode: half to even
    if (r < double(std::numeric_limits<qint32>::min()) || r > double(std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return qint32(r);
}

std::optional<QString> setAddressDigits(const QString& text) {
    const auto v = basicVal(text);
    if (!v)
        return std::nullopt;
    const auto n = roundToInt32(*v);
    if (!n)
        return std::nullopt;
    const quint32 bits = quint32(*n);
    // "00" + upper-case hex, last two characters: only the low byte counts.
    return QStringLiteral("%1").arg(bits & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}
