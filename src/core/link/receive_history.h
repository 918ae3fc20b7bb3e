#pragma once

#include <QString>
#include <QStringView>

#include <array>

// Removes trailing spaces only: CR, LF and tabs at the end of a reply stay.
[[nodiscard]] QString trimTrailingSpaces(const QString& text);

// The last six replies, index 0 the newest.
class ReceiveHistory {
public:
    static constexpr int Size = 6;

    // Moves every entry one place older and puts `reply` at index 0.
    void push(const QString& reply);
    [[nodiscard]] const QString& at(int index) const { return m_lines[size_t(index)]; }
    // The console text: oldest first, joined with `separator`, nothing after the newest.
    [[nodiscard]] QString consoleText(const QString& separator) const;

private:
    std::array<QString, Size> m_lines;
};
