#pragma once

#include "core/conversation/flasher_conversation.h"
#include "net/datagram_reader.h"
#include "net/datagram_socket.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <optional>

class Transcript;

// A device once its name has been looked up.
struct DeviceTarget {
    QString label; // "host:port" as the user wrote the host, for every message
    QHostAddress address;
    quint16 port = Protocol::DevicePort;
};

// One device's session on its own UDP socket: sends what the session asks for, hands it the
// replies from the device's address, and keeps its clock.
class DeviceLink : public QObject {
    Q_OBJECT
public:
    DeviceLink(DeviceTarget target, const LineStore& lines, const FlashSettings& settings,
               Transcript* transcript, QObject* parent = nullptr);

    // Binds the local port (0: any) on every address of the device's family; never shared.
    Result<void> bind(quint16 localPort);
    void start();
    // Ends a session under way as interrupted.
    void interrupt();
    // Ends the session before it began, for `reason` (a network error).
    void abandon(const QString& reason);
    // Sends the start command once, after a session that ended well; true when it went out.
    bool sendStart();
    // For a link that runs alone: wait for each answer on the socket itself (see readPending).
    void setWaitInPlace(bool inPlace) { m_waitInPlace = inPlace; }

    [[nodiscard]] const FlasherConversation& session() const { return m_session; }
    [[nodiscard]] const DeviceTarget& target() const { return m_target; }
    [[nodiscard]] quint16 localPort() const { return m_localPort; }
    // Since start(); stops counting when the session ends.
    [[nodiscard]] qint64 elapsedUs() const;

signals:
    void passChanged(DeviceLink* link);
    void finished(DeviceLink* link);

private:
    void readPending();
    // Hands a datagram to the session; false once the session is over.
    bool take(QByteArrayView data, const QHostAddress& from, quint16 fromPort);
    void onTimer();
    void apply(const FlashAction& action);
    void arm(int ms);
    void send();
    void finish();

    DeviceTarget m_target;
    FlasherConversation m_session;
    Transcript* m_transcript;
    DatagramSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_deadlineNs = 0; // when the wait asked for last runs out
    qint64 m_timerDueNs = 0; // when m_timer fires; it is re-armed lazily, not for every line
    qint64 m_finishedUs = -1;
    quint16 m_localPort = 0;
    bool m_waitInPlace = false;
    FlashPass m_reportedPass = FlashPass::BootInfo;
    DatagramReader m_reader;
};
