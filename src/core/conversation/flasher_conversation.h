#pragma once

#include "core/conversation/reply_clock.h"
#include "core/conversation/transfer_state.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
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
    NetworkError, // also: the line mixed up replies so that no result could be told
    Interrupted,
};

struct FlashSettings {
    bool gateway = true;
    QString gatewayAddress = QString::number(Protocol::GatewayAddress);
    int retries = Protocol::Defaults::Retries;               // resends of one line at most
    int timeoutMs = Protocol::Defaults::TimeoutMs;           // the longest wait before a resend
    int firstTimeoutMs = Protocol::Defaults::FirstTimeoutMs; // the first record: the device may erase first
    bool verifyOnly = false;   // only the verify pass, against the image the device keeps
    QString expectVersion;     // the boot information's VER= value must be exactly this (empty: any)
    int probeLines = 16;       // the first records' answers wait a round trip for duplicates to show
    bool bootInfoOnly = false; // only ask for the boot information (an inventory): nothing else is sent
};

// What a device error says of the device, where the device said it.
enum class DeviceRefusal {
    None,
    VerifyMismatch,  // "ERROR VERIFY": it holds another image
    VersionMismatch, // its boot information names another version than the one expected
};

// What the owner has to do after an event, and what the event was taken for.
struct FlashAction {
    // What the reply handed in was: the answer of the line in flight, the late answer of a copy
    // sent before, one that answered nothing, or a duplicate of the answer before it.
    enum class Heard { Nothing, Answer, OwedAnswer, Stray, Duplicate };

    bool send = false;   // send datagram() now; wakeAt() then says when onTimer() is due
    bool resend = false; // ... a copy of the line in flight, as its wait ran out
    Heard heard = Heard::Nothing;

    friend bool operator==(const FlashAction&, const FlashAction&) = default;
};

// What the conversation waits for now, for those who watch it.
struct FlashWait {
    enum class For { Nothing, BootInfo, FirstRecord, Record, Settling };
    For what = For::Nothing;
    Micros since = 0; // when the copy in flight went
    Micros wait = 0;  // how long it waits for its answer
    int resends = 0;  // of the line in flight
};

// The value of the boot information's "VER=" field, up to the next blank; nothing without one.
[[nodiscard]] std::optional<QString> bootVersion(QStringView bootInfo);

// One device's transfer as the flasher runs it: a state machine with no socket and no clock
// (every event brings the time), sending the window's own datagrams (advanceLine, recordCommand,
// frameLine with the bootloader form), so a device sees the same bytes from both programs. It is
// stricter than the window, because "ok" must mean the device took the file, and it accounts for
// every copy it sends, as replies carry no sequence number. How long it waits is its clock's
// (ReplyClock); HACKING.md ("The flasher's timing") walks through the rules with a timeline.
class FlasherConversation {
public:
    // `lines` as the window's loader reads them: 1 to TransferState::MaxLines entries.
    FlasherConversation(const LineStore& lines, FlashSettings settings);

    // Sends the boot-information request, as the window does on connect.
    [[nodiscard]] FlashAction start(Micros now);
    // One datagram from the device (its bytes, Latin-1) that came at `arrived`, handed on at
    // `now`: a reply that waited while the owner was busy is judged by when it came (sent
    // meanwhile, the next line cannot have been answered by it), the lines it lets go are sent now.
    [[nodiscard]] FlashAction onReply(QByteArrayView datagram, Micros now, Micros arrived);
    [[nodiscard]] FlashAction onReply(QByteArrayView datagram, Micros now) {
        return onReply(datagram, now, now);
    }
    // The copy just sent went out at `at`, after the event that let it go: the owner's own work
    // in between must not make a reply that came before it look like its answer.
    void sent(Micros at);
    // The copy could not be sent for a moment (a full buffer, a firewall's drop): it is lost, as
    // on the line, and its wait runs as if it had gone. `reason` goes into a time-out's message.
    void sendFailed(const QString& reason);
    // When onTimer() is due; nothing when no wait is.
    [[nodiscard]] std::optional<Micros> wakeAt() const;
    // The wake-up asked for has come (an early call is harmless).
    [[nodiscard]] FlashAction onTimer(Micros now);
    // The owner could not send or receive.
    void failNetwork(const QString& reason);
    // The run was interrupted: nothing more is sent.
    void interrupt();
    // The datagram of the start command, as the window's "Install VELTA" sends it.
    [[nodiscard]] QByteArray startCommand() const;

    // The bytes of the datagram to send (also on a resend).
    [[nodiscard]] const QByteArray& datagram() const { return m_datagram; }
    // Frames the datagram of the line after the one just sent, while the device works on that
    // one: its answer is then followed by the next send at once.
    void prepareNext();

    [[nodiscard]] FlashPass pass() const { return m_pass; }
    // Whether the wait in force is for an answer (which usually ends it early), not one that
    // runs to its end.
    [[nodiscard]] bool awaitingAnswer() const { return m_waiting == Waiting::Answer; }
    [[nodiscard]] FlashWait waitInForce() const;
    [[nodiscard]] FlashResult result() const { return m_result; }
    [[nodiscard]] DeviceRefusal refusal() const { return m_refusal; }
    [[nodiscard]] bool finished() const { return m_result != FlashResult::Running; }
    // Why the session failed, without the device's name; empty while running or on success.
    [[nodiscard]] const QString& message() const { return m_message; }
    // The line sent last in the current pass (1-based); 0 before the first.
    [[nodiscard]] int line() const { return m_line; }
    [[nodiscard]] int lineCount() const { return m_state.lineCount; }
    // Lines of its passes that the device has answered, in order, and how many it must answer.
    [[nodiscard]] int acknowledged() const { return m_acknowledged; }
    [[nodiscard]] int linesToAnswer() const {
        return m_settings.bootInfoOnly ? 0 : (m_settings.verifyOnly ? 1 : 2) * m_state.lineCount;
    }
    // Download and verify passes begun, repeated ones included.
    [[nodiscard]] int passes() const { return m_passes; }
    // The device's answer to the boot-information request, without its line end.
    [[nodiscard]] const QString& bootInfo() const { return m_bootInfo; }
    [[nodiscard]] int resends() const { return m_resends; }
    // Replies that answered no line in flight (late copies, duplicates) and were dropped.
    [[nodiscard]] int lateReplies() const { return m_lateReplies; }
    // Of them, the answers to copies still owed after a resend was answered.
    [[nodiscard]] int lateAnswers() const { return m_slowAnswers; }
    [[nodiscard]] const ReplyClock& clock() const { return m_clock; }

    [[nodiscard]] static QString passName(FlashPass pass);

private:
    // Answer: for the line in flight; Gap: for duplicates of its answer to show, before the next
    // line; Settle: for the copies still owed after a resend; EndSettle: at the end of a pass;
    // Restart: for the replies of a pass given up, before the download pass begins again.
    enum class Waiting { Nothing, Answer, Gap, Settle, EndSettle, Restart };
    // What a reply says under the strict rules.
    enum class Word { Ok, Download, Error, Other };
    [[nodiscard]] static Word strictWord(QByteArrayView reply);

    // The copies sent of the line in flight.
    struct Flight {
        Micros first = 0;
        Micros last = 0;
        std::array<Micros, 8> sent{}; // when the first copies went
        Micros wait = 0;              // of the latest copy
        Micros giveUp = 0;            // when the line fails unanswered
        int copies = 0;
        int answers = 0; // copies answered

        [[nodiscard]] Micros sentAt(int copy) const {
            return copy < int(sent.size()) ? sent[size_t(copy)] : last;
        }
    };

    FlashAction sendFirstCopy(Micros now);
    FlashAction sendCopy(Micros now);
    FlashAction sendNextLine(Micros now);
    FlashAction answered(Micros now, Micros arrived);
    FlashAction owedAnswer(Micros now, Micros arrived);
    FlashAction proceed(Micros now);
    FlashAction startDownloadPass(Micros now);
    FlashAction startVerifyPass(Micros now);
    FlashAction conclude(Micros now);
    FlashAction refused(QByteArrayView reply, Micros now);
    FlashAction stray(QByteArrayView reply, Word word, bool rightBehind, Micros arrived);
    FlashAction timedOut(Micros now);
    [[nodiscard]] bool fitsLine(QByteArrayView reply, Word word) const;
    [[nodiscard]] bool canAnswer(Micros arrived) const;
    [[nodiscard]] Micros limitUs() const;
    FlashAction bootInfoAnswered(QByteArrayView reply);
    void timeAnswer(Micros arrived);
    // `line` in the gateway form the settings ask for, as Latin-1 bytes into `out`.
    [[nodiscard]] bool frameInto(const QString& line, QByteArray& out) const;
    FlashAction fail(FlashResult result, const QString& message);
    [[nodiscard]] QString where() const;
    [[nodiscard]] bool firstRecord() const { return m_pass == FlashPass::Download && m_line == 1; }

    FlashSettings m_settings;
    ReplyClock m_clock;
    TransferState m_state;
    FlashPass m_pass = FlashPass::BootInfo;
    FlashResult m_result = FlashResult::Running;
    Waiting m_waiting = Waiting::Nothing;
    Flight m_flight;
    Micros m_deadline = 0;    // of the wait in force
    bool m_endOfPass = false; // the line in flight is the last of its pass
    QString m_message;
    QByteArray m_datagram;
    QByteArray m_prepared;
    int m_preparedLine = 0; // which line m_prepared holds: negative in the verify pass, 0 none
    QString m_lastIgnored;  // the last reply that answered nothing, for the messages
    QString m_bootInfo;
    QString m_sendFailure; // the last send that failed for a moment
    int m_sendFailures = 0;
    int m_line = 0;
    int m_acknowledged = 0;
    int m_passes = 0;
    int m_resends = 0;
    int m_lateReplies = 0;
    int m_slowAnswers = 0;     // late copies of answers to resent lines
    int m_misfits = 0;         // record words that answered nothing, in this verify pass
    int m_ambiguous = 0;       // replies of the download pass that answered nothing or came late
    int m_verifyRepeats = 0;   // verify passes run again for want of clean evidence
    int m_downloadRepeats = 0; // download passes run again after a verify pass that found a hole
    Micros m_lastReplyAt = 0;
    Micros m_lastAnswerAt = 0;
    DeviceRefusal m_refusal = DeviceRefusal::None;
};
