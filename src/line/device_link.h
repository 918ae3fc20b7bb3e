#pragma once

#include "core/conversation/flasher_conversation.h"
#include "net/datagram_reader.h"
#include "net/datagram_socket.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class Transcript;

// A device once its name has been looked up.
struct DeviceTarget {
    QString label; // "host:port" as the user wrote the host, for every message
    QHostAddress address;
    quint16 port = Protocol::DevicePort;
};

// One device's conversation on its own UDP socket: sends what the conversation asks for, hands
// it the replies from the device's address with the time they came, and wakes it when it asks.
class DeviceLink : public QObject {
    Q_OBJECT
public:
    DeviceLink(DeviceTarget target, const LineStore& lines, const FlashSettings& settings,
               Transcript* transcript, QObject* parent = nullptr);

    // Binds the local port (0: any) on every address of the device's family; never shared.
    Result<void> bind(quint16 localPort);
    void start();
    // Ends a conversation under way as interrupted.
    void interrupt();
    // Ends the conversation before it began, for `reason` (a network error).
    void abandon(const QString& reason);
    // Sends the start command once, after a conversation that ended well; true when it went out.
    bool sendStart();
    // For a link that runs alone: wait for each answer on the socket itself (see waitInPlace).
    void setWaitInPlace(bool inPlace) { m_waitInPlace = inPlace; }

    [[nodiscard]] const FlasherConversation& session() const { return m_session; }
    [[nodiscard]] const DeviceTarget& target() const { return m_target; }
    [[nodiscard]] quint16 localPort() const { return m_localPort; }
    // Whether a datagram of the conversation went out.
    [[nodiscard]] bool sentAny() const { return m_sentAny; }
    // Since start(); stops counting when the conversation ends.
    [[nodiscard]] qint64 elapsedUs() const;
    // The clock the conversation's times are read on: microseconds since start().
    [[nodiscard]] Micros now() const { return m_clock.nsecsElapsed() / 1000; }

signals:
    void passChanged(DeviceLink* link);
    void finished(DeviceLink* link);

private:
    // The one way in, for the socket and the timer alike: what came is handed on, a wake-up that
    // is due is served, and a link that runs alone then waits for its next answer in place.
    void serve();
    // Hands every datagram waiting on the socket on, up to a batch.
    void drainSocket();
    // Hands a datagram to the conversation; false once it is over.
    bool take(QByteArrayView data, const QHostAddress& from, quint16 fromPort);
    void wakeIfDue();
    void waitInPlace();
    void onTimer();
    void apply(const FlashAction& action);
    void armTimer();
    void send();
    void note(const QString& text);
    void finish();

    DeviceTarget m_target;
    FlasherConversation m_session;
    Transcript* m_transcript;
    DatagramSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::optional<Micros> m_wakeAt; // when the conversation wants onTimer()
    Micros m_timerDue = 0;          // when m_timer fires; it is re-armed lazily, not for every line
    qint64 m_finishedUs = -1;
    quint16 m_localPort = 0;
    bool m_sentAny = false;
    bool m_waitInPlace = false;
    bool m_inPlace = false; // waiting in place now (the wait hands datagrams and wake-ups on)
    // After a resend, for this many sends, waits end on time to the microsecond: the receiving
    // call's own time-out is cheaper but counts in scheduler ticks.
    int m_preciseSends = 0;
    FlashPass m_reportedPass = FlashPass::BootInfo;
    DatagramReader m_reader;
};
