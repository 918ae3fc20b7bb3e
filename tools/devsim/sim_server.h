#pragma once

#include "precise_alarm.h"
#include "reply_queue.h"
#include "sim_options.h"

#include "core/conversation/device_model.h"
#include "core/io/result.h"
#include "net/datagram_reader.h"
#include "net/endpoint.h"

#include <QAbstractSocket>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

// The simulator's exit codes.
namespace SimExit {
constexpr int Ok = 0;      // stopped by SIGTERM or SIGINT
constexpr int Failure = 1; // the signal handlers or the timer could not be set up
constexpr int BadArguments = 2;
constexpr int CannotBind = 3;
} // namespace SimExit

// What to tell the user when the socket could not be bound.
[[nodiscard]] QString bindFailureMessage(const QHostAddress& address, quint16 port,
                                         QAbstractSocket::SocketError error, const QString& reason);

// The simulated device on a UDP socket, with the fault injection the options ask for.
class SimServer : public QObject {
    Q_OBJECT
public:
    // Answers to unknown text per sender and second: something that keeps sending nonsense
    // (another program that answers everything) soon gets silence instead of a conversation.
    static constexpr int UnknownAnswersPerSecond = 10;

    explicit SimServer(SimOptions options, QObject* parent = nullptr);

    // Binds the socket (a Network failure) and sets up the timer; the failure's detail is the
    // message for the user.
    Result<void> start();
    [[nodiscard]] quint16 port() const { return m_socket.localPort(); }
    [[nodiscard]] QHostAddress address() const { return m_socket.localAddress(); }
    [[nodiscard]] const DeviceModel& model(int index = 0) const { return m_models[size_t(index)]; }
    // Datagrams handed to the device so far.
    [[nodiscard]] quint64 received() const { return m_received; }
    // Replies waiting for their time, and requests and replies dropped because too many did.
    [[nodiscard]] const ReplyQueue& waiting() const { return m_waiting; }

    // One datagram as if it had come from `sender`: to the device, the reply back to the sender.
    void receive(const QByteArray& data, const QHostAddress& sender, quint16 senderPort);

private:
    void readPending();
    // The reply of the device `data` is for, and that device's index (-1: no reply).
    [[nodiscard]] std::pair<std::optional<QByteArray>, int> answer(const QByteArray& data,
                                                                   const QByteArray& peer);
    // Puts `reply` on the line once the device has done with it, late by the line's delay.
    void schedule(const QByteArray& reply, qint64 doneNs, const QHostAddress& receiver, quint16 receiverPort);
    // Sends every reply that is due, and sets the alarm for the next.
    void sendDue();
    void send(const QByteArray& reply, const QHostAddress& receiver, quint16 receiverPort);
    [[nodiscard]] bool isOwnEndpoint(const QHostAddress& sender, quint16 senderPort) const;
    void saveImage(const DeviceModel& model);
    // Whether `peer` may have one more answer to unknown text now.
    [[nodiscard]] bool mayAnswerUnknown(const QByteArray& peer);
    [[nodiscard]] qint64 elapsedMs() const;
    // True for that share of calls, from the seeded draw.
    [[nodiscard]] bool drawn(double percent);
    void log(const QByteArray& text) const;

    SimOptions m_options;
    std::vector<DeviceModel> m_models;
    std::vector<DeviceTime> m_deviceTimes; // one a device
    QUdpSocket m_socket;
    DatagramReader m_reader;
    QList<QHostAddress> m_ownAddresses;
    qint64 m_startNs = 0;
    ReplyQueue m_waiting;
    PreciseAlarm m_alarm;
    std::optional<qint64> m_alarmAt;
    quint64 m_received = 0;
    QHash<QByteArray, std::pair<qint64, int>> m_unknownAnswers; // per sender: since when, how many
    QRandomGenerator m_random;
};
