#pragma once

#include "line_store.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

// The state of a transfer: the loaded lines and where the passes stand. The counters stay
// 16-bit: a line number reaches 9,001 at most and nothing may widen them unchecked.
struct TransferState {
    static constexpr qint16 MaxLines = 9000;

    qint16 linePos = 0;       // line sent last in this pass; 0 before the first line and after the last
    LineStore lineStore;      // the lines of the last completed load
    qint16 lineCount = 0;     // how many: the store's count, at most MaxLines
    bool verifyPhase = false; // the verify pass runs (else the download pass)
    bool armed = false;       // a loaded file is being transferred
};

// What one transfer step did, for the window to show and send.
struct StepResult {
    QString commandLine;       // "OOT" + line (":" -> "#" when verifying) + CR LF, for the send procedure
    QString sentForm;          // the line in the form it was sent, for the "line sent last" box
    bool downloadPass = false; // the bar text becomes "DOWNLOAD" (the verify pass leaves it alone)
    qint16 barValue = 0;       // the number of the line just sent
};

// The transfer step: sends the next line of the current pass. Nothing when not armed. It never
// reads outside entries 1 to lineCount: a position that has left that range disarms the transfer.
[[nodiscard]] std::optional<StepResult> transferStep(TransferState& s);
// The step's move alone: the number of the line to send next, as transferStep would send it.
[[nodiscard]] std::optional<qint16> advanceLine(TransferState& s);
// The command line that sends a HEX entry: "OOT" + the entry (":" -> "#" when verifying) + CR LF.
[[nodiscard]] QString lineCommand(QByteArrayView entry, bool verify);

// The words replies are read for: anywhere in the reply, exact and case-sensitive.
namespace ReplyWord {
inline constexpr char Version[] = "VER=";
inline constexpr char Error[] = "ERROR";
inline constexpr char Download[] = "DOWNLOAD";
inline constexpr char Ok[] = "OK";
} // namespace ReplyWord

// The reply rules, in their order of precedence.
enum class ReplyRule {
    VersionStep = 1, // "VER=" while armed: step
    Error = 2,       // "ERROR": red "ERROR", nothing sent
    End = 3,         // "DOWNLOAD" in the verify pass: green "END"
    StartVerify = 4, // "DOWNLOAD" otherwise: "VERIFY" and step
    OkStep = 5,      // "OK": step
    None = 6,
};

[[nodiscard]] ReplyRule classifyReply(QStringView reply, const TransferState& s);

// What the dispatcher shows for a rule, once its state changes are applied.
struct ReplyEffects {
    ReplyRule rule = ReplyRule::None;
    std::optional<QString> barText;
    std::optional<quint32> barColor; // 0x00BBGGRR
    bool transferEnded = false;      // enable the open button, clear the received-data box
    bool step = false;               // perform a transfer step
};

namespace BarColor {
constexpr quint32 Black = 0;
constexpr quint32 Red = 255;
constexpr quint32 Green = 65280;
constexpr quint32 Navy = 0x800000;
constexpr quint32 Blue = 0xFF0000;
} // namespace BarColor

// Classifies the reply and applies the rule's changes to the transfer state (the step itself
// is left to the caller, which must send through its own socket).
[[nodiscard]] ReplyEffects applyReply(QStringView reply, TransferState& s);
