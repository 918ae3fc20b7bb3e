#pragma once

#include <QString>

#include <optional>

// A strict decimal number within [min, max], as command-line options take them: digits only
// (QString::toInt alone lets blanks and signs through), at most nine of them.
[[nodiscard]] inline std::optional<int> strictDecimal(const QString& text, int min, int max) {
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt();
    if (value < min || value > max)
        return std::nullopt;
    return value;
}
