#pragma once

#include <QtGlobal>

namespace LinkWatchdog {
constexpr int TickMs = 200;
constexpr qint16 LostAbove = 50; // ticks of silence after which the link counts as lost
constexpr qint16 Lost = 51;
constexpr qint16 AfterStartup = 50;
constexpr qint16 AfterConnect = 0;
constexpr qint16 AfterDatagram = 1;

// One watchdog tick: counts the silence up and says whether the link is alive.
// The count stops at Lost, so it can never leave its range however long the silence lasts.
[[nodiscard]] inline bool tick(qint16& silence) {
    if (silence >= Lost || silence + 1 > LostAbove) {
        silence = Lost;
        return false;
    }
    silence = qint16(silence + 1);
    return true;
}
} // namespace LinkWatchdog
