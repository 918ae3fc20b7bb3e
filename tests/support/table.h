#pragma once

// Helpers for table-driven tests.

#include <QStringList>
#include <QTest>

#include <type_traits>

// The rows stand in one array; each QtTest data row carries the index of its row.
template <typename Row, std::size_t N> void addRows(const Row (&rows)[N]) {
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < N; ++i)
        QTest::newRow(rows[i].name) << int(i);
}
inline int fetchRow() {
    QFETCH(int, row);
    return row;
}

// Several values as one text, so that one comparison shows them all when it fails.
template <typename... T> QString joined(const T&... values) {
    const auto text = [](const auto& v) -> QString {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(v)>>)
            return QString::number(v); // a bool as 0 or 1
        else
            return QString(v);
    };
    return QStringList{text(values)...}.join(QLatin1Char(' '));
}
