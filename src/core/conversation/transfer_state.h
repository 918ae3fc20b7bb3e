#pragma once

#include "core/conversation/vocabulary.h"
#include "core/transfer/line_store.h"

#include <QString>

#include <optional>

// Where a transfer stands: the lines of the last completed load and the passes over them, as both
// the window and the flasher keep it. The counters stay 16-bit: a line number reaches 9,001 at
// most and nothing may widen them unchecked.
struct TransferState {
    static constexpr qint16 MaxLines = Protocol::MaxLines;

    qint16 linePos = 0;       // line sent last in this pass; 0 before the first line and after the last
    LineStore lineStore;      // the lines of the last completed load
    qint16 lineCount = 0;     // how many: the store's count, at most MaxLines
    bool verifyPhase = false; // the verify pass runs (else the download pass)
    bool armed = false;       // a loaded file is being transferred
};

// The step's move: the number of the line to send next in the current pass. Nothing when not
// armed. The last line does not end the pass (only the device's "DOWNLOAD" does): the position
// goes back to 0 after it. A position that has left 0..lineCount-1 disarms the transfer rather
// than read a line this load did not read.
[[nodiscard]] std::optional<qint16> advanceLine(TransferState& s);
