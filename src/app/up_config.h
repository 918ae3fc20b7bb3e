#pragma once

#include "app/progress_bar.h"
#include "app/repaint_throttle.h"
#include "app/services.h"
#include "core/conversation/framing.h"
#include "core/conversation/window_conversation.h"
#include "core/io/runtime_error.h"
#include "core/link/receive_history.h"
#include "net/udp_socket_control.h"

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The tool's one window. It owns every state field, every control and every handler; the logic
// the handlers run lives in the core library. Handlers are a few lines each and never call one
// another: what two of them share is a named operation.
//
// Every control keeps its design name as its object name (automation, accessibility and the tests
// find it by that). The members that hold them:
//
//   object name       member                  object name        member
//   UP_config         the window              Frame1             statusFrame
//   Frame8            linkFrame               vbalProgressBar1   progressBar
//   ComboRemoteIP     addressBox              Command5           installButton   ("Install VELTA")
//   YesConnect        linkAliveImage          Text3              console
//   NoConnect         linkLostImage           Label2             consoleLabel
//   cbBind            connectButton           Text11             consoleEntry
//   Command7          bootInfoButton          Command6           sendRawButton   ("Send")
//   Add_ip            addButton               Command8           uartOnButton
//   Del_ip            deleteButton            Command10          sendDeviceButton
//   SaveIP            saveButton              Command9           versionButton   ("VER")
//   Command3          openAndDownloadButton   Command2           statusButton    ("?")
//   Frame2            gatewayFrame            Timer1             watchdogTimer
//   Check1            gatewaySwitch           Winsock1           socket
//   Label1            gatewayAddressLabel
//   Text9             gatewayAddress          tbRemotePort       remotePortBox   (hidden)
//   Text10            newDeviceAddress        tbLocalPort        localPortBox    (hidden)
//   Command1          setAddressButton
// The rest of the working region (the reply history Text7, the received datagram tbReceiveData,
// the last reply Text8) are plain fields the logic writes; the two port boxes are hidden widgets,
// since the connect reads them and automation may set them.
class UP_config : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 401;  // 6015 twips
    static constexpr int ClientHeight = 219; // 3285 twips
    static const QString Caption;
    static const QString HexFilter;

    explicit UP_config(PlatformServices services = PlatformServices::real(), QWidget* parent = nullptr);
    ~UP_config() override;

    // ---- Handlers: the event map routes each event to one of these ----
    void connectOrDisconnect();
    void addAddress();
    void deleteAddress();
    void saveAddressBook();
    void watchdogTick();
    void receiveDatagram();
    void hostLookedUp();
    void addressPicked();
    void addressTyped();
    void requestBootInfo();
    void startDevice();
    void setDeviceAddress();
    void requestStatus();
    void requestVersion();
    void uartOn();
    void sendRaw();
    void sendToDevice();
    void openAndDownload();

    // ---- Operations the handlers share ----
    // The send procedures: true when the datagram was handed to the socket. A command goes in the
    // gateway's bootloader form, a console command in its console form, while the switch is on.
    bool sendCommand(const QString& line);
    bool sendConsoleCommand(const QString& line);

    // ---- What the window keeps, for whoever watches it (tests, benchmarks, fuzzers) ----
    [[nodiscard]] bool isConnected() const { return m_connected; }
    // Watchdog ticks since the last datagram; above 50 the link counts as lost.
    [[nodiscard]] qint16 linkSilence() const { return m_linkSilence; }
    [[nodiscard]] const WindowConversation& conversation() const { return m_conversation; }
    // The last datagram exactly as received, and less trailing spaces (what the rules read).
    [[nodiscard]] const QString& receivedDatagram() const { return m_receivedDatagram; }
    [[nodiscard]] const QString& lastReply() const { return m_lastReply; }
    [[nodiscard]] const ReceiveHistory& replyHistory() const { return m_replyHistory; }
    // The console text the replies so far make (the widget follows within a frame). Put together
    // when asked, not per datagram: a frame shows only the last of a burst.
    [[nodiscard]] QString consoleText() const;
    [[nodiscard]] UdpSocketControl& udpSocket() { return socket; }
    [[nodiscard]] QTimer& watchdog() { return watchdogTimer; }
    [[nodiscard]] ProgressBar* bar() const { return progressBar; }
    // Brings every throttled widget up to date at once.
    void flushScreen();

private:
    void createControls();
    void createLinkFrame();
    void createGatewayFrame();
    void createWindowControls();
    void createWorkingRegion();
    void setTabOrderAndNames();
    void connectEvents();
    void loadAddressBook();
    void showError(const Failure& failure);
    void showLinkLost();
    void dispatchReply();
    void apply(const WindowEffects& effects);
    void syncConsole();
    [[nodiscard]] bool consoleUnchangedSinceSync() const;
    bool sendFramed(const QString& line, GatewayForm form);

    PlatformServices m_services;

    QGroupBox* linkFrame = nullptr;
    QComboBox* addressBox = nullptr;
    QLabel* linkAliveImage = nullptr;
    QLabel* linkLostImage = nullptr;
    QPushButton* connectButton = nullptr;
    QPushButton* bootInfoButton = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* openAndDownloadButton = nullptr;
    QGroupBox* gatewayFrame = nullptr;
    QCheckBox* gatewaySwitch = nullptr;
    QLabel* gatewayAddressLabel = nullptr;
    QLineEdit* gatewayAddress = nullptr;
    QLineEdit* newDeviceAddress = nullptr;
    QPushButton* setAddressButton = nullptr;
    QGroupBox* statusFrame = nullptr;
    ProgressBar* progressBar = nullptr;
    QPushButton* installButton = nullptr;
    QPlainTextEdit* console = nullptr;
    QLabel* consoleLabel = nullptr;
    QLineEdit* consoleEntry = nullptr;
    QPushButton* sendRawButton = nullptr;
    QPushButton* uartOnButton = nullptr;
    QPushButton* sendDeviceButton = nullptr;
    QPushButton* versionButton = nullptr;
    QPushButton* statusButton = nullptr;
    QLineEdit* remotePortBox = nullptr; // working region: read by the connect
    QLineEdit* localPortBox = nullptr;

    QTimer watchdogTimer;
    UdpSocketControl socket;

    bool m_connected = false;
    qint16 m_linkSilence = 0;
    WindowConversation m_conversation;
    ReceiveHistory m_replyHistory; // the last six replies, 0 the newest
    QString m_receivedDatagram;
    QString m_lastReply;
    bool m_anyReply = false; // the console stays empty until the first datagram
    // What the console widget was left showing by the last sync, to tell a sync that would change
    // nothing (replies repeat: "OK" after "OK" for a whole transfer).
    struct ConsoleSync {
        QString source;   // consoleText() as synced
        QString document; // the widget's text after it
        int caret = -1;
        int horizontalScroll = 0;
        int verticalScroll = 0;
    } m_consoleSync;
    RepaintThrottle m_consoleThrottle;
    bool m_addressPicked = false;   // the shown entry was picked from the list, not typed
    bool m_bootInfoPending = false; // the connect's request waits for the host name's look-up
};
