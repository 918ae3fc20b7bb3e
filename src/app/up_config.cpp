#include "up_config.h"

#include "icons.h"
#include "wrapping_button.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>

#include <cmath>

const QString UP_config::Caption = QStringLiteral("Ethernet PIC\u00B5VELTA Device  BootLoader V2");
const QString UP_config::HexFilter = QStringLiteral("HEX files (*.hex)|*.hex");

namespace {
// Layout is given in twips; 15 twips make one pixel at 96 dots per inch.
constexpr int px(int twips) {
    return (twips + 7) / 15;
}

template <typename W> W* place(W* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QLatin1String(name));
    w->setGeometry(px(left), px(top), px(width), px(height));
    return w;
}

// The dialog font: small enough that every caption fits its control, as the classic
// 8-point dialog font did.
QFont dialogFont() {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    return f;
}

// A local port spread evenly over 5500..6499 and different between starts.
QString drawLocalPort() {
    const quint64 seed = quint64(QDateTime::currentMSecsSinceEpoch()) ^
                         (quint64(QRandomGenerator::system()->generate()) << 20);
    QRandomGenerator rng(seed);
    const double r = rng.generateDouble();
    return QString::number(5500 + int(std::floor(r * 1000)));
}
} // namespace

UP_config::UP_config(PlatformServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_services(std::move(services)), m_consoleThrottle([this] { syncConsole(); }, this) {
    createControls();
    connectEvents();
    // The watchdog ticks from creation on and is never stopped.
    Timer1.setInterval(200);
    Timer1.start();
    Load();
}

UP_config::~UP_config() = default;

void UP_config::createControls() {
    setObjectName(QStringLiteral("UP_config"));
    setWindowTitle(Caption);
    setWindowIcon(Icons::applicationIcon());
    setFont(dialogFont());
    setFixedSize(ClientWidth, ClientHeight);

    // Frame "Link Ethernet".
    Frame8 = place(new QGroupBox(QStringLiteral("Link Ethernet"), this), "Frame8", 0, 0, 4335, 975);
    ComboRemoteIP = place(new QComboBox(Frame8), "ComboRemoteIP", 60, 240, 1695, 315);
    ComboRemoteIP->setEditable(true);
    // "Add" is the only way into the list; Enter must not insert the typed text.
    ComboRemoteIP->setInsertPolicy(QComboBox::NoInsert);
    // The text is taken as typed: no inline completion from the list, and no quiet selection
    // of an entry whose text the operator happened to type when the edit loses the focus.
    ComboRemoteIP->setCompleter(nullptr);
    disconnect(ComboRemoteIP->lineEdit(), &QLineEdit::editingFinished, ComboRemoteIP, nullptr);
    const qreal dpr = devicePixelRatioF();
    YesConnect = place(new QLabel(Frame8), "YesConnect", 1740, 240, 480, 480);
    YesConnect->setPixmap(Icons::linkAlive(dpr));
    YesConnect->setVisible(false);
    NoConnect = place(new QLabel(Frame8), "NoConnect", 1740, 360, 480, 480);
    NoConnect->setPixmap(Icons::linkLost(dpr));
    cbBind = place(new QPushButton(QStringLiteral("Connect"), Frame8), "cbBind", 2220, 240, 975, 255);
    Command7 = place(new QPushButton(QStringLiteral("Boot Info"), Frame8), "Command7", 3240, 240, 975, 255);
    Add_ip = place(new QPushButton(QStringLiteral("Add"), Frame8), "Add_ip", 60, 600, 555, 255);
    Del_ip = place(new QPushButton(QStringLiteral("Del"), Frame8), "Del_ip", 660, 600, 495, 255);
    SaveIP = place(new QPushButton(QStringLiteral("Save"), Frame8), "SaveIP", 1200, 600, 555, 255);

    // Frame "Modbus  RTU".
    Frame2 = place(new QGroupBox(QStringLiteral("Modbus  RTU"), this), "Frame2", 4380, 0, 1635, 975);
    Check1 = place(new QCheckBox(QStringLiteral("Check1"), Frame2), "Check1", 1320, 0, 195, 195);
    Check1->setChecked(true);
    Label1 = place(new QLabel(QStringLiteral("Addr Device"), Frame2), "Label1", 60, 240, 975, 255);
    Text9 = place(new QLineEdit(QStringLiteral("16"), Frame2), "Text9", 1080, 240, 435, 285);
    Text10 = place(new QLineEdit(QStringLiteral("10"), Frame2), "Text10", 60, 600, 435, 285);
    Command1 = place(new QPushButton(QStringLiteral("Set Addr"), Frame2), "Command1", 660, 600, 795, 255);

    // Frame "Status".
    Frame1 = place(new QGroupBox(QStringLiteral("Status"), this), "Frame1", 0, 960, 5235, 615);

    // Window controls. Created after the frames, so those lying over a frame are drawn in front.
    Command3 = place(new QPushButton(QStringLiteral("Open File and  Download"), this), "Command3", 2220, 600,
                     1995, 255);
    Command3->setEnabled(false);
    vbalProgressBar1 = place(new ProgressBar(this), "vbalProgressBar1", 120, 1200, 4995, 255);
    vbalProgressBar1->setText(QStringLiteral("NO FILE"));
    vbalProgressBar1->setBarColor(BarColor::Blue);
    vbalProgressBar1->setForeColor(0x000000);
    vbalProgressBar1->setValue(0);
    Command5 =
        place(new WrappingButton(QStringLiteral("Install VELTA"), this), "Command5", 5280, 1080, 735, 495);
    Text3 = place(new QPlainTextEdit(this), "Text3", 0, 1680, 6015, 1335);
    Text3->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text3->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text3->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves the focus on, as in every other control, instead of typing a tab.
    Text3->setTabChangesFocus(true);
    Label2 = place(new QLabel(QStringLiteral("Console "), this), "Label2", 0, 3000, 615, 255);
    Text11 = place(new QLineEdit(this), "Text11", 600, 3000, 1455, 285);
    Command6 = place(new QPushButton(QStringLiteral("Send"), this), "Command6", 2100, 3000, 675, 255);
    Command8 = place(new QPushButton(QStringLiteral("UART On"), this), "Command8", 2820, 3000, 915, 255);
    Command10 =
        place(new QPushButton(QStringLiteral("Send Device"), this), "Command10", 4020, 3000, 1095, 255);
    Command9 = place(new QPushButton(QStringLiteral("VER"), this), "Command9", 5160, 3000, 555, 255);
    Command2 = place(new QPushButton(QStringLiteral("?"), this), "Command2", 5760, 3000, 255, 255);

    // Buttons take focus from the keyboard only, as on the classic dialog.
    for (QPushButton* b : findChildren<QPushButton*>())
        b->setAutoDefault(false);

    QWidget* const tabOrder[] = {cbBind,   ComboRemoteIP, Add_ip,   Del_ip,    SaveIP,   Command3, Text3,
                                 Command5, Text9,         Check1,   Text10,    Command1, Text11,   Command6,
                                 Command7, Command8,      Command9, Command10, Command2};
    for (size_t i = 0; i + 1 < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i], tabOrder[i + 1]);

    // Accessible names for boxes without a caption of their own.
    ComboRemoteIP->setAccessibleName(QStringLiteral("Device address"));
    Text9->setAccessibleName(QStringLiteral("Gateway device address"));
    Text10->setAccessibleName(QStringLiteral("New device address"));
    Text3->setAccessibleName(QStringLiteral("Console"));
    Text11->setAccessibleName(QStringLiteral("Console command"));
    YesConnect->setAccessibleName(QStringLiteral("Link"));
    NoConnect->setAccessibleName(QStringLiteral("Link"));
    YesConnect->setAccessibleDescription(QStringLiteral("alive"));
    NoConnect->setAccessibleDescription(QStringLiteral("lost"));
    Check1->setAccessibleName(QStringLiteral("Modbus  RTU"));
    vbalProgressBar1->setAccessibleName(QStringLiteral("Status"));
}

// The event map: every event the window reacts to, one row each.
void UP_config::connectEvents() {
    connect(cbBind, &QPushButton::clicked, this, &UP_config::cbBind_Click);
    connect(Add_ip, &QPushButton::clicked, this, &UP_config::Add_ip_Click);
    connect(Del_ip, &QPushButton::clicked, this, &UP_config::Del_ip_Click);
    connect(SaveIP, &QPushButton::clicked, this, &UP_config::SaveIP_Click);
    connect(&Timer1, &QTimer::timeout, this, &UP_config::Timer1_Timer);
    connect(&Winsock1, &UdpSocketControl::dataArrival, this, &UP_config::Winsock1_DataArrival);
    connect(&Winsock1, &UdpSocketControl::remoteHostLookedUp, this, &UP_config::Winsock1_HostLookedUp);
    connect(ComboRemoteIP, &QComboBox::activated, this, &UP_config::ComboRemoteIP_Activated);
    connect(ComboRemoteIP->lineEdit(), &QLineEdit::textEdited, this, &UP_config::ComboRemoteIP_TextEdited);
    connect(Command7, &QPushButton::clicked, this, &UP_config::Command7_Click);
    connect(Command5, &QPushButton::clicked, this, &UP_config::Command5_Click);
    connect(Command1, &QPushButton::clicked, this, &UP_config::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &UP_config::Command2_Click);
    connect(Command9, &QPushButton::clicked, this, &UP_config::Command9_Click);
    connect(Command8, &QPushButton::clicked, this, &UP_config::Command8_Click);
    connect(Command6, &QPushButton::clicked, this, &UP_config::Command6_Click);
    connect(Command10, &QPushButton::clicked, this, &UP_config::Command10_Click);
    connect(Command3, &QPushButton::clicked, this, &UP_config::Command3_Click);
}

void UP_config::Load() {
    CrLf = QStringLiteral("\r\n");
    LinkSilence = 50;
    loadAddressBook();
    // Drawing a number and writing a text cannot fail here, so the ports need no error path.
    tbLocalPort = drawLocalPort();
    tbRemotePort = QStringLiteral("111");
}

void UP_config::Unload() {}

void UP_config::closeEvent(QCloseEvent* event) {
    Unload();
    event->accept();
}

void UP_config::showError(const RuntimeError& error) {
    m_services.messageBox(this, error.description, error.title(), MessageIcon::Critical);
}

void UP_config::flushScreen() {
    m_consoleThrottle.flushNow();
    vbalProgressBar1->flushRepaint();
}

void UP_config::syncConsole() {
    Text3->setPlainText(m_text3);
    QTextCursor c = Text3->textCursor();
    c.movePosition(QTextCursor::End);
    Text3->setTextCursor(c);
}
