#pragma once

#include <QRandomGenerator>

// The local port a session binds when none is given: drawn evenly from 5500..6499, and different
// from one start to the next.
namespace LocalPort {
constexpr int First = 5500;
constexpr int Count = 1000;

[[nodiscard]] inline int draw() {
    return First + int(QRandomGenerator::global()->bounded(Count));
}
} // namespace LocalPort
