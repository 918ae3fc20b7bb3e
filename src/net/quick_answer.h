#pragma once

#include "net/datagram_reader.h"

#include <QElapsedTimer>

#include <optional>

// One wait in the receiving call for a datagram expected soon.
struct AnswerWait {
    qint64 us = 0;
    bool precise = false; // on the system's high-resolution timer, not in scheduler ticks
    qint64 spinUs = 0;    // asking without sleeping first, for so long
};

// Why a quick-answer wait ended.
enum class QuickAnswerEnd { NotAsked, SliceOver, InVain, Failed };

// Waits for quick answers in the receiving call itself, as a blocking client does: a round trip
// then costs one send and one receive, where going back to the event loop costs a poll and a read
// more. Before each wait `next(inVain)` says whether to wait again and how long (`inVain`: the
// wait before it ran out); each datagram that comes goes to `handle`, as DatagramReader hands them
// on. Once `sliceUs` have passed no wait begins, so input, timers and painting are served between
// slices. A program whose answer does not come at once must not keep waiting: `next` says so.
template <typename Socket, typename Handler, typename Next>
QuickAnswerEnd awaitQuickAnswers(DatagramReader& reader, Socket& socket, qint64 sliceUs, Handler&& handle,
                                 Next&& next) {
    QElapsedTimer slice;
    slice.start();
    bool inVain = false;
    while (const std::optional<AnswerWait> wait = next(inVain)) {
        if (slice.nsecsElapsed() / 1000 >= sliceUs)
            return QuickAnswerEnd::SliceOver;
        inVain = !reader.awaitOne(socket, handle, wait->us, wait->precise, wait->spinUs);
        // A signal, or an error the event loop meets again.
        if (inVain && socket.error() != QAbstractSocket::SocketTimeoutError)
            return QuickAnswerEnd::Failed;
    }
    return inVain ? QuickAnswerEnd::InVain : QuickAnswerEnd::NotAsked;
}
