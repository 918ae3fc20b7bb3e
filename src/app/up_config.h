#pragma once

#include "commands.h"
#include "progress_bar.h"
#include "receive_history.h"
#include "repaint_throttle.h"
#include "runtime_error.h"
#include "services.h"
#include "transfer_engine.h"
#include "udp_socket_control.h"

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The tool's one window. It owns every state field, every control and every handler; the
// logic the handlers run lives in the protocol, link and transfer libraries.
//
// Controls of the working region (below the fixed client area, never seen by the operator)
// are plain text fields of the window: the logic reads and writes them as storage.
class UP_config : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 401;  // 6015 twips
    static constexpr int ClientHeight = 219; // 3285 twips
    static const QString Caption;
    static const QString HexFilter;

    explicit UP_config(PlatformServices services = PlatformServices::real(), QWidget* parent = nullptr);
    ~UP_config() override;

    // ---- State fields, in their declaration order ----
    QString CrLf;
    qint16 IniFileNumber = 0;
    qint16 LinkSilence = 0;
    TransferState Transfer; // LinePos, LineStore, LineCount, VerifyPhase, TransferArmed
    qint16 Connected = 0;

    // ---- Working region ----
    ReceiveHistory Text7;  // reply history, index 0 the newest
    QString Text4;         // the line sent last, in the form it was sent
    QString tbRemotePort;  // read-only for the operator
    QString tbLocalPort;   // read-only for the operator
    QString Text8;         // the last reply less trailing spaces; the line count after a load
    QString tbReceiveData; // the last datagram exactly as received

    // ---- Handlers (the event map routes to these) ----
    void Load();
    void Unload();
    void cbBind_Click();
    void Add_ip_Click();
    void Del_ip_Click();
    void SaveIP_Click();
    void Timer1_Timer();
    void Winsock1_DataArrival(qint64 bytesTotal);
    void Winsock1_HostLookedUp(bool found);
    void ComboRemoteIP_Activated(int index);
    void ComboRemoteIP_TextEdited(const QString& text);
    void Command7_Click();
    void Command5_Click();
    void Command1_Click();
    void Command2_Click();
    void Command9_Click();
    void Command8_Click();
    void Command6_Click();
    void Command10_Click();
    void Command3_Click();
    void Command4_Click();

    // ---- Send procedures: 1 when the datagram was handed to the socket, else 0 ----
    qint16 UDP_Send(const QString& UDPString);
    qint16 UDP_Send_C(const QString& UDPString);

    // The console text as the receive path last set it (the widget follows within a frame).
    [[nodiscard]] const QString& text3() const { return m_text3; }
    [[nodiscard]] UdpSocketControl& winsock() { return Winsock1; }
    [[nodiscard]] const QTimer& timer1() const { return Timer1; }
    [[nodiscard]] ProgressBar* progressBar() const { return vbalProgressBar1; }
    // Brings every throttled widget up to date at once.
    void flushScreen();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void connectEvents();
    void loadAddressBook();
    void showError(const RuntimeError& error);
    void showLinkLost();
    void dispatchReply();
    void syncConsole();
    qint16 sendFramed(const QString& line, GatewayForm form);

    PlatformServices m_services;

    // Visible controls.
    QGroupBox* Frame8 = nullptr;
    QComboBox* ComboRemoteIP = nullptr;
    QLabel* YesConnect = nullptr;
    QLabel* NoConnect = nullptr;
    QPushButton* cbBind = nullptr;
    QPushButton* Command7 = nullptr;
    QPushButton* Add_ip = nullptr;
    QPushButton* Del_ip = nullptr;
    QPushButton* SaveIP = nullptr;
    QPushButton* Command3 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QCheckBox* Check1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text9 = nullptr;
    QLineEdit* Text10 = nullptr;
    QPushButton* Command1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    ProgressBar* vbalProgressBar1 = nullptr;
    QPushButton* Command5 = nullptr;
    QPlainTextEdit* Text3 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text11 = nullptr;
    QPushButton* Command6 = nullptr;
    QPushButton* Command8 = nullptr;
    QPushButton* Command10 = nullptr;
    QPushButton* Command9 = nullptr;
    QPushButton* Command2 = nullptr;

    // Components without a face.
    QTimer Timer1;
    UdpSocketControl Winsock1;

    QString m_text3;
    RepaintThrottle m_consoleThrottle;
    bool m_addressPicked = false;   // the shown entry was picked from the list, not typed
    bool m_bootInfoPending = false; // the connect's request waits for the host name's look-up
};
