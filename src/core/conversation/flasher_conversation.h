#pragma once

#include "core/conversation/transfer_state.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Where a device stands on the road the window takes.
enum class FlashPass {
    BootInfo, // "OOTi" sent, waiting for its answer
    Download,
    Verify,
};

enum class FlashResult {
    Running,
    Success, // every line of its passes answered in order, each pass ended by "DOWNLOAD"
    DeviceError,
    Timeout,
    NetworkError,
    Interrupted,
};

struct FlashSettings {
    bool gateway = true;
    QString gatewayAddress = QString::number(Protocol::GatewayAddress);
    int retries = Protocol::Defaults::Retries;
    int timeoutMs =
        Protocol::Defaults::TimeoutMs; // the owner keeps the clock; the session says which wait is due
    int firstTimeoutMs = Protocol::Defaults::FirstTimeoutMs; // the first record: the device may erase first
    bool verifyOnly = false; // only the verify pass, against the image the device keeps
    QString expectVersion;   // the boot information's VER= value must be exactly this (empty: any)
};

// What the owner has to do after an event.
struct FlashAction {
    enum class Timer {
        Keep,        // leave the running timer alone
        StartReply,  // wait for the reply to the datagram just sent (the timeout)
        StartSettle, // collect late copies of the reply just taken (1.5 x the timeout)
        Stop,        // the session is over
    };
    bool send = false; // send datagram() now
    Timer timer = Timer::Keep;

    friend bool operator==(const FlashAction&, const FlashAction&) = default;
};

// The value of the boot information's "VER=" field, up to the next blank; nothing without one.
[[nodiscard]] std::optional<QString> bootVersion(QStringView bootInfo);

// One device's transfer as a state machine: no socket, no clock, no output. The datagrams are
// the window's own (advanceLine, recordCommand and frameLine with the bootloader form), so a device sees the
// same bytes from both programs.
//
// What it accepts is stricter than the window, because "ok" must mean the device took the file:
//  - a reply is read by its words, not searched: "OK" and "DOWNLOAD" acknowledge only as the
//    whole reply, "ERROR" as its first word; anything else acknowledges nothing;
//  - every record is answered in order, and a pass ends only with the device's "DOWNLOAD" in
//    answer to its last record ("OK" there, or "DOWNLOAD" earlier, is a device error);
//  - a "DOWNLOAD" after a pass ended and before the next pass's first record is answered is a
//    copy of the one already taken and is ignored;
//  - the boot information is a reply with a "VER=" word (or "OK"); any "ERROR" fails the
//    device, late or not;
//  - an unanswered datagram is resent on timeout; after an answer to a resent datagram, late
//    copies are collected before the next line goes out, so none is taken for its answer.
class FlasherConversation {
public:
    // `lines` as the window's loader reads them: 1 to TransferState::MaxLines entries.
    FlasherConversation(const LineStore& lines, FlashSettings settings);

    // Sends the boot-information request, as the window does on connect.
    [[nodiscard]] FlashAction start();
    // One datagram from the device (its bytes, Latin-1).
    [[nodiscard]] FlashAction onReply(QByteArrayView datagram);
    // The timer asked for last has run out.
    [[nodiscard]] FlashAction onTimer();
    // The owner could not send or receive.
    void failNetwork(const QString& reason);
    // The run was interrupted: nothing more is sent.
    void interrupt();
    // How long the wait asked for by Timer::StartReply lasts.
    [[nodiscard]] int replyTimeoutMs() const;
    // How long late copies of an answer may still come after a resend: 1.5 reply timeouts.
    [[nodiscard]] int settleTimeoutMs() const { return replyTimeoutMs() * 3 / 2; }
    // The datagram of the start command, as the window's "Install VELTA" sends it.
    [[nodiscard]] QByteArray startCommand() const;

    // The bytes of the datagram to send (also on a resend).
    [[nodiscard]] const QByteArray& datagram() const { return m_datagram; }
    // Frames the datagram of the line after the one just sent, while the device works on that
    // one: its answer is then followed by the next send at once.
    void prepareNext();

    [[nodiscard]] FlashPass pass() const { return m_pass; }
    [[nodiscard]] FlashResult result() const { return m_result; }
    [[nodiscard]] bool finished() const { return m_result != FlashResult::Running; }
    // Why the session failed, without the device's name; empty while running or on success.
    [[nodiscard]] const QString& message() const { return m_message; }
    // The line sent last in the current pass (1-based); 0 before the first.
    [[nodiscard]] int line() const { return m_line; }
    [[nodiscard]] int lineCount() const { return m_state.lineCount; }
    // Lines of its passes that the device has answered, in order, and how many it must answer.
    [[nodiscard]] int acknowledged() const { return m_acknowledged; }
    [[nodiscard]] int linesToAnswer() const { return (m_settings.verifyOnly ? 1 : 2) * m_state.lineCount; }
    // The device's answer to the boot-information request, without its line end.
    [[nodiscard]] const QString& bootInfo() const { return m_bootInfo; }
    [[nodiscard]] int resends() const { return m_resends; }
    // Replies dropped as late copies, and replies that answered nothing.
    [[nodiscard]] int lateReplies() const { return m_lateReplies; }
    [[nodiscard]] int ignoredReplies() const { return m_ignoredReplies; }

    [[nodiscard]] static QString passName(FlashPass pass);

private:
    enum class Waiting { Nothing, Reply, Settle };
    // What an answer did, for the step after the settle time.
    enum class Next { Line, NextPass, Done };

    FlashAction sendCommand(const QString& line);
    FlashAction awaitReply();
    // `line` in the gateway form the settings ask for, as Latin-1 bytes into `out`.
    [[nodiscard]] bool frameInto(const QString& line, QByteArray& out) const;
    FlashAction bootInfoAnswered(QByteArrayView reply);
    FlashAction answered(Next next);
    FlashAction proceed(Next next);
    // What a reply says under the strict rules: "OK" and "DOWNLOAD" are the whole reply (NOK or
    // "DOWNLOAD FAILED" acknowledge nothing), "ERROR" its first word.
    enum class Word { Ok, Download, Error, Other };
    [[nodiscard]] static Word strictWord(QByteArrayView reply);
    FlashAction replyToRecord(QByteArrayView reply, Word word);
    FlashAction fail(FlashResult result, const QString& message);
    // "DOWNLOAD" before the last line of a pass; `toWhat` says to which copy, if not the line's.
    FlashAction endedEarly(const char* toWhat);
    [[nodiscard]] QString where() const;

    FlashSettings m_settings;
    TransferState m_state;
    FlashPass m_pass = FlashPass::BootInfo;
    FlashResult m_result = FlashResult::Running;
    Waiting m_waiting = Waiting::Nothing;
    Next m_next = Next::Line;       // what follows the settle time
    bool m_passJustStarted = false; // no record of this pass answered yet, after a pass ended
    bool m_resent = false;          // the datagram in flight went out more than once
    QString m_message;
    QByteArray m_datagram;
    QByteArray m_prepared;
    int m_preparedLine = 0; // which line m_prepared holds: negative in the verify pass, 0 none
    QString m_lastIgnored;
    QString m_bootInfo;
    int m_line = 0;
    int m_resendsLeft = 0;
    int m_acknowledged = 0;
    int m_resends = 0;
    int m_lateReplies = 0;
    int m_slowAnswers = 0; // late copies of answers to resent datagrams
    int m_ignoredReplies = 0;
};
