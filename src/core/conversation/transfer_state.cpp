#include "core/conversation/transfer_state.h"

std::optional<qint16> advanceLine(TransferState& s) {
    if (!s.armed)
        return std::nullopt;
    // Only a completed load arms the transfer, so linePos stays within 0..lineCount-1 here;
    // should that ever not hold, stop rather than send a line this load did not read.
    if (s.lineCount < 1 || s.lineCount > s.lineStore.count() || s.linePos < 0 || s.linePos >= s.lineCount) {
        s.armed = false;
        s.linePos = 0;
        return std::nullopt;
    }
    const qint16 line = qint16(s.linePos + 1);
    s.linePos = line == s.lineCount ? 0 : line;
    return line;
}
