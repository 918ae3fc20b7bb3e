#pragma once

#include "core/conversation/transfer_state.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <optional>

// Time as the owner's clock gives it, in microseconds from any fixed origin.
using Micros = qint64;

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

// What the owner has to do after an event.
struct FlashAction {
    bool send = false; // send datagram() now; wakeAt() then says when onTimer() is due

    friend bool operator==(const FlashAction&, const FlashAction&) = default;
};

// The value of the boot information's "VER=" field, up to the next blank; nothing without one.
[[nodiscard]] std::optional<QString> bootVersion(QStringView bootInfo);

// One device's transfer as the flasher runs it: a state machine with no socket and no clock
// (every event brings the time), sending the window's own datagrams (advanceLine, recordCommand,
// frameLine with the bootloader form), so a device sees the same bytes from both programs.
//
// What it accepts is stricter than the window, because "ok" must mean the device took the file:
//  - a reply is read by its words: "OK" and "DOWNLOAD" answer a record only as the whole reply,
//    "ERROR" as its first word fails the device, late or not; anything else answers nothing;
//  - every record is answered in order with the word it must get ("DOWNLOAD" for the last one,
//    "OK" before it), and the boot-information request with a reply holding "VER=" (or "OK").
//
// Replies carry no sequence number, so a late or duplicated reply looks exactly like the next
// line's answer. The conversation accounts for every copy it sends (each is owed one reply):
//  - an unanswered line is sent again after a time-out derived from the round trips measured
//    (smoothed round trip plus four mean deviations, no sample from a line sent more than once),
//    doubled at each time-out until a line is answered at its first send or its copies turn
//    out lost, never longer than --timeout; it fails once --retries + 1 copies have each waited
//    the whole --timeout (--first-timeout for the first record, while the device may erase its
//    flash), so a device is never given up sooner than with fixed waits;
//  - after a resend is answered, the next line waits until every copy of this one has been
//    answered or is older than the horizon: twice the longest delay among the recent answers
//    (late answers included, and replies that came after their horizon), never less than
//    HorizonFloorUs nor more than twice --timeout. No reply can then be taken for the next
//    line's but one later than the horizon, and every such reply that shows itself makes the
//    horizon longer;
//  - a reply that comes sooner after a line's send than a third of the (second) shortest recent
//    clean round trip (at most TwinWindowUs) cannot be that line's answer, nor can one that close
//    behind the reply before it answer another copy: such replies are duplicates, and are
//    dropped;
//  - once duplicates have been seen trailing an answer by less than a round trip, the next line
//    waits twice that long after each answer, so that they show themselves first (until no
//    duplicate has come for TwinMemoryLines lines); the first records (probeLines) wait a round
//    trip, so that a line's duplicates show before they can mislead;
//  - after each pass's closing "DOWNLOAD" it listens for the horizon: an "ERROR" then still fails;
//  - a verify pass in which a reply came that answered nothing (the mark of a duplicated or
//    late reply taken for an answer somewhere) is not clean evidence: it is run again, up to
//    --retries times; with verifyOnly (a check of the image) it fails, saying so.
class FlasherConversation {
public:
    // The shortest horizon and the shortest time-out: below them, the host's own timers and
    // scheduling make delays that no device has.
    static constexpr Micros HorizonFloorUs = 300;
    static constexpr Micros MinTimeoutUs = 150;
    // A datagram's duplicate usually follows it within this.
    static constexpr Micros TwinWindowUs = 20;
    // Lines answered without a duplicate before a line is taken to have stopped duplicating.
    static constexpr int TwinMemoryLines = 256;

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
    // The device's answer to the boot-information request, without its line end.
    [[nodiscard]] const QString& bootInfo() const { return m_bootInfo; }
    [[nodiscard]] int resends() const { return m_resends; }
    // Replies that came after their line was answered (late copies, duplicates) and were dropped.
    [[nodiscard]] int lateReplies() const { return m_lateReplies; }
    // Of them, the answers to copies still owed after a resend was answered.
    [[nodiscard]] int lateAnswers() const { return m_slowAnswers; }
    // The horizon and the time-out in force now.
    [[nodiscard]] Micros horizonUs() const;
    [[nodiscard]] Micros timeoutUs() const;

    [[nodiscard]] static QString passName(FlashPass pass);

private:
    // Answer: for the line in flight; Gap: for duplicates of its answer to show, before the next
    // line; Settle: for the copies still owed after a resend; EndSettle: at the end of a pass.
    enum class Waiting { Nothing, Answer, Gap, Settle, EndSettle };
    // What a reply says under the strict rules.
    enum class Word { Ok, Download, Error, Other };
    [[nodiscard]] static Word strictWord(QByteArrayView reply);

    // The copies sent of the line in flight.
    struct Flight {
        Micros first = 0;
        Micros last = 0;
        std::array<Micros, 8> sent{}; // when the first copies went
        Micros wait = 0;              // of the latest copy
        int copies = 0;
        int answers = 0;   // copies answered
        int fullWaits = 0; // copies that waited the whole --timeout unanswered
        bool answered = false;

        [[nodiscard]] Micros sentAt(int copy) const {
            return copy < int(sent.size()) ? sent[size_t(copy)] : last;
        }
    };

    FlashAction sendLine(const QString& commandLine, Micros now);
    FlashAction sendCopy(Micros now);
    FlashAction answered(Micros now, Micros arrived);
    FlashAction proceed(Micros now);
    FlashAction startVerifyPass(Micros now);
    FlashAction conclude(Micros now);
    FlashAction stray(QByteArrayView reply, Word word, bool rightBehind, Micros arrived);
    FlashAction timedOut(Micros now);
    [[nodiscard]] bool fitsLine(QByteArrayView reply, Word word) const;
    [[nodiscard]] bool canAnswer(Micros arrived) const;
    [[nodiscard]] Micros waitFor() const;
    FlashAction bootInfoAnswered(QByteArrayView reply);
    void sample(Micros roundTrip, bool clean);
    [[nodiscard]] Micros soonestAnswerUs() const;
    // `line` in the gateway form the settings ask for, as Latin-1 bytes into `out`.
    [[nodiscard]] bool frameInto(const QString& line, QByteArray& out) const;
    FlashAction fail(FlashResult result, const QString& message);
    [[nodiscard]] QString where() const;
    [[nodiscard]] bool firstRecord() const { return m_pass == FlashPass::Download && m_line == 1; }

    FlashSettings m_settings;
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
    int m_line = 0;
    int m_acknowledged = 0;
    int m_resends = 0;
    int m_lateReplies = 0;
    int m_slowAnswers = 0;   // late copies of answers to resent lines
    int m_misfits = 0;       // record words that answered nothing, in this pass
    int m_verifyRepeats = 0; // verify passes run again for want of clean evidence
    // Round trips: smoothed mean and deviation, and the recent answers' delays.
    Micros m_srtt = 0;
    Micros m_rttvar = 0;
    int m_samples = 0;
    int m_backoffs = 0;                // time-outs since a line was last answered at its first send
    std::array<Micros, 32> m_recent{}; // delays of recent answers, late ones included
    int m_recentCount = 0;
    int m_recentNext = 0;
    std::array<Micros, 32> m_cleanTrips{}; // recent clean round trips of records
    int m_cleanCount = 0;
    int m_cleanNext = 0;
    Micros m_lastReplyAt = 0;
    Micros m_lastAnswerAt = 0;
    Micros m_twinGapUs = 0; // how long duplicates of an answer have been seen to trail it, twice
    int m_linesSinceTwin = 0;
    DeviceRefusal m_refusal = DeviceRefusal::None;
    Micros m_writtenOff = 0; // the send of the latest copy presumed lost, until a stray shows
    int m_sinceWriteOff = 0; // lines answered since
};
