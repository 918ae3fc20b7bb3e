#include "core/io/printable.h"

void appendPrintable(QByteArray& out, QByteArrayView bytes, qsizetype shown) {
    static constexpr char Hex[] = "0123456789abcdef";
    for (const char b : bytes.first(qMin(bytes.size(), shown))) {
        const auto c = uchar(b);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            out += "\\x";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
    if (bytes.size() > shown) {
        out += " ... (";
        out += QByteArray::number(bytes.size());
        out += " bytes)";
    }
}

QString printable(QByteArrayView bytes, qsizetype shown) {
    QByteArray out;
    appendPrintable(out, bytes, shown);
    return QString::fromLatin1(out);
}

void latin1Into(QStringView text, QByteArray& out) {
    out.resize(text.size());
    char* d = out.data();
    for (const QChar c : text)
        *d++ = c.unicode() < 256 ? char(c.unicode()) : '?';
}

QString escapedText(QStringView text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case '\\':
            out += QLatin1String("\\\\");
            continue;
        case '\n':
            out += QLatin1String("\\n");
            continue;
        case '\r':
            out += QLatin1String("\\r");
            continue;
        case '\t':
            out += QLatin1String("\\t");
            continue;
        default:
            break;
        }
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString cutText(QStringView text, qsizetype kept) {
    if (text.size() <= kept)
        return text.toString();
    return text.first(kept).toString() + QStringLiteral(" ... (%1 characters)").arg(text.size());
}
