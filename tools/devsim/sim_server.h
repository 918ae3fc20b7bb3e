#pragma once

#include "sim_options.h"

#include "core/conversation/device_model.h"
#include "core/io/result.h"
#include "net/datagram_reader.h"
#include "net/endpoint.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
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
constexpr int Failure = 1; // the signal handlers could not be installed
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

    // Binds the socket; the failure's detail is the message for the user.
    Result<void> start();
    [[nodiscard]] quint16 port() const { return m_socket.localPort(); }
    [[nodiscard]] QHostAddress address() const { return m_socket.localAddress(); }
    [[nodiscard]] const DeviceModel& model(int index = 0) const { return m_models[size_t(index)]; }
    // Datagrams handed to the device so far.
    [[nodiscard]] quint64 received() const { return m_received; }

    // One datagram as if it had come from `sender`: to the device, the reply back to the sender.
    void receive(const QByteArray& data, const QHostAddress& sender, quint16 senderPort);

private:
    void readPending();
    void send(const QByteArray& reply, const QHostAddress& receiver, quint16 receiverPort);
    [[nodiscard]] bool isOwnEndpoint(const QHostAddress& sender, quint16 senderPort) const;
    void saveImage(const DeviceModel& model);
    // Whether `peer` may have one more answer to unknown text now.
    [[nodiscard]] bool mayAnswerUnknown(const QByteArray& peer);
    // True for that share of calls, from the seeded draw.
    [[nodiscard]] bool drawn(double percent);
    void log(const QByteArray& text) const;

    SimOptions m_options;
    std::vector<DeviceModel> m_models;
    QUdpSocket m_socket;
    DatagramReader m_reader;
    QList<QHostAddress> m_ownAddresses;
    QElapsedTimer m_clock;
    quint64 m_received = 0;
    QHash<QByteArray, std::pair<qint64, int>> m_unknownAnswers; // per sender: since when, how many
    QRandomGenerator m_random;
};
