#pragma once

#include "core/conversation/transfer_state.h"

#include <QString>
#include <QStringView>

#include <optional>

// The bar's colours as the window's logic speaks of them: 24-bit 0x00BBGGRR (red in the low byte).
namespace BarColor {
constexpr quint32 Black = 0;
constexpr quint32 Red = 255;
constexpr quint32 Green = 65280;
constexpr quint32 Navy = 0x800000;
constexpr quint32 Blue = 0xFF0000;
} // namespace BarColor

// The window's rules for the replies, in their order of precedence: each looks for its word
// anywhere in the reply, exact and case-sensitive, and the first that applies is taken.
enum class ReplyRule {
    VersionStep = 1, // "VER=" while armed: step
    Error = 2,       // "ERROR": red "ERROR", nothing sent
    End = 3,         // "DOWNLOAD" in the verify pass: green "END"
    StartVerify = 4, // "DOWNLOAD" otherwise: "VERIFY" and step
    OkStep = 5,      // "OK": step
    None = 6,
};

// What the window shows and sends after an event of its transfer.
struct WindowEffects {
    std::optional<int> barMax;
    std::optional<QString> barText;
    std::optional<quint32> barColor;
    std::optional<QString> send; // a command line for the bootloader's send procedure
    std::optional<int> barValue; // the number of the line just sent
    bool transferEnded = false;  // the open button enabled, the received-datagram box cleared
    ReplyRule rule = ReplyRule::None;
};

// The window's side of the conversation: the transfer as the design runs it, lenient and without
// resends. No socket, no widgets: events in, what to show and send out.
//  - a load arms the transfer and sends line 1 in download form;
//  - every reply is read for "VER=", "ERROR", "DOWNLOAD" and "OK" anywhere in it (ReplyRule);
//  - a step sends the next line of the current pass; the last line does not end a pass, only a
//    "DOWNLOAD" does; the verify pass sends every ':' as '#'.
class WindowConversation {
public:
    // A connect: nothing armed, the download pass (the line position stays).
    void connected();
    // A disconnect: nothing armed, the download pass, the position back to the start.
    void disconnected();
    // "Open File and  Download" pressed: the download pass, before the dialog opens.
    void loadStarting();
    // A file name was chosen: the position back to the start, "NO FILE" on the bar. A file that
    // then cannot be opened changes nothing more: an armed transfer goes on from line 1.
    [[nodiscard]] WindowEffects loadOpening();
    // The file was opened but failed part way: whatever was armed is stopped for good.
    void loadFailed();
    // The file's lines are stored: the bar's maximum, "READY", and the first step.
    [[nodiscard]] WindowEffects loaded(LineStore lines);
    // One reply, as the receive path keeps it (trailing blanks removed).
    [[nodiscard]] WindowEffects reply(QStringView reply);

    [[nodiscard]] static ReplyRule classify(QStringView reply, bool armed, bool verifying);

    [[nodiscard]] bool armed() const { return m_state.armed; }
    [[nodiscard]] bool verifying() const { return m_state.verifyPhase; }
    [[nodiscard]] qint16 linePos() const { return m_state.linePos; }
    [[nodiscard]] qint16 lineCount() const { return m_state.lineCount; }

private:
    // The transfer step: sends the next line of the current pass.
    void step(WindowEffects& e);

    TransferState m_state;
};
