#include "app/up_config.h"

#include "app/icons.h"
#include "app/wrapping_button.h"
#include "core/conversation/vocabulary.h"
#include "core/link/link_watchdog.h"
#include "core/link/local_port.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

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

} // namespace

UP_config::UP_config(PlatformServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_services(std::move(services)), socket(m_services.lookUpHost),
      m_consoleThrottle([this] { syncConsole(); }, this) {
    createControls();
    connectEvents();
    // The watchdog ticks from creation on and is never stopped.
    watchdogTimer.setInterval(LinkWatchdog::TickMs);
    watchdogTimer.start();

    // Start-up. Drawing a number and writing a text cannot fail, so the ports need no error path.
    m_linkSilence = LinkWatchdog::AfterStartup;
    loadAddressBook();
    localPortBox->setText(QString::number(LocalPort::draw()));
    remotePortBox->setText(QString::number(Protocol::DevicePort));
}

UP_config::~UP_config() = default;

void UP_config::createControls() {
    setObjectName(QStringLiteral("UP_config"));
    setWindowTitle(Caption);
    setWindowIcon(Icons::applicationIcon());
    setFont(dialogFont());
    setFixedSize(ClientWidth, ClientHeight);
    createLinkFrame();
    createGatewayFrame();
    // Frame "Status".
    statusFrame = place(new QGroupBox(QStringLiteral("Status"), this), "Frame1", 0, 960, 5235, 615);
    createWindowControls();
    createWorkingRegion();
    watchdogTimer.setObjectName(QStringLiteral("Timer1"));
    socket.setObjectName(QStringLiteral("Winsock1"));
    // Buttons take focus from the keyboard only, as on the classic dialog.
    for (QPushButton* b : findChildren<QPushButton*>())
        b->setAutoDefault(false);
    setTabOrderAndNames();
}

void UP_config::createLinkFrame() {
    linkFrame = place(new QGroupBox(QStringLiteral("Link Ethernet"), this), "Frame8", 0, 0, 4335, 975);
    addressBox = place(new QComboBox(linkFrame), "ComboRemoteIP", 60, 240, 1695, 315);
    addressBox->setEditable(true);
    // "Add" is the only way into the list; Enter must not insert the typed text.
    addressBox->setInsertPolicy(QComboBox::NoInsert);
    // The text is taken as typed: no inline completion from the list, and no quiet selection of
    // an entry whose text the operator happened to type when the edit loses the focus.
    addressBox->setCompleter(nullptr);
    disconnect(addressBox->lineEdit(), &QLineEdit::editingFinished, addressBox, nullptr);
    const qreal dpr = devicePixelRatioF();
    linkAliveImage = place(new QLabel(linkFrame), "YesConnect", 1740, 240, 480, 480);
    linkAliveImage->setPixmap(Icons::linkAlive(dpr));
    linkAliveImage->setVisible(false);
    linkLostImage = place(new QLabel(linkFrame), "NoConnect", 1740, 360, 480, 480);
    linkLostImage->setPixmap(Icons::linkLost(dpr));
    connectButton =
        place(new QPushButton(QStringLiteral("Connect"), linkFrame), "cbBind", 2220, 240, 975, 255);
    bootInfoButton =
        place(new QPushButton(QStringLiteral("Boot Info"), linkFrame), "Command7", 3240, 240, 975, 255);
    addButton = place(new QPushButton(QStringLiteral("Add"), linkFrame), "Add_ip", 60, 600, 555, 255);
    deleteButton = place(new QPushButton(QStringLiteral("Del"), linkFrame), "Del_ip", 660, 600, 495, 255);
    saveButton = place(new QPushButton(QStringLiteral("Save"), linkFrame), "SaveIP", 1200, 600, 555, 255);
}

void UP_config::createGatewayFrame() {
    gatewayFrame = place(new QGroupBox(QStringLiteral("Modbus  RTU"), this), "Frame2", 4380, 0, 1635, 975);
    gatewaySwitch = place(new QCheckBox(QStringLiteral("Check1"), gatewayFrame), "Check1", 1320, 0, 195, 195);
    gatewaySwitch->setChecked(true);
    gatewayAddressLabel =
        place(new QLabel(QStringLiteral("Addr Device"), gatewayFrame), "Label1", 60, 240, 975, 255);
    gatewayAddress = place(new QLineEdit(QString::number(Protocol::GatewayAddress), gatewayFrame), "Text9",
                           1080, 240, 435, 285);
    newDeviceAddress = place(new QLineEdit(QStringLiteral("10"), gatewayFrame), "Text10", 60, 600, 435, 285);
    setAddressButton =
        place(new QPushButton(QStringLiteral("Set Addr"), gatewayFrame), "Command1", 660, 600, 795, 255);
}

// The window's own controls. Created after the frames, so those lying over a frame are drawn in
// front of it.
void UP_config::createWindowControls() {
    openAndDownloadButton = place(new QPushButton(QStringLiteral("Open File and  Download"), this),
                                  "Command3", 2220, 600, 1995, 255);
    openAndDownloadButton->setEnabled(false);
    progressBar = place(new ProgressBar(this), "vbalProgressBar1", 120, 1200, 4995, 255);
    progressBar->setText(QStringLiteral("NO FILE"));
    progressBar->setBarColor(BarColor::Blue);
    progressBar->setForeColor(BarColor::Black);
    progressBar->setValue(0);
    installButton =
        place(new WrappingButton(QStringLiteral("Install VELTA"), this), "Command5", 5280, 1080, 735, 495);
    console = place(new QPlainTextEdit(this), "Text3", 0, 1680, 6015, 1335);
    console->setLineWrapMode(QPlainTextEdit::NoWrap);
    console->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves the focus on, as in every other control, instead of typing a tab.
    console->setTabChangesFocus(true);
    consoleLabel = place(new QLabel(QStringLiteral("Console "), this), "Label2", 0, 3000, 615, 255);
    consoleEntry = place(new QLineEdit(this), "Text11", 600, 3000, 1455, 285);
    sendRawButton = place(new QPushButton(QStringLiteral("Send"), this), "Command6", 2100, 3000, 675, 255);
    uartOnButton = place(new QPushButton(QStringLiteral("UART On"), this), "Command8", 2820, 3000, 915, 255);
    sendDeviceButton =
        place(new QPushButton(QStringLiteral("Send Device"), this), "Command10", 4020, 3000, 1095, 255);
    versionButton = place(new QPushButton(QStringLiteral("VER"), this), "Command9", 5160, 3000, 555, 255);
    statusButton = place(new QPushButton(QStringLiteral("?"), this), "Command2", 5760, 3000, 255, 255);
}

// Below the client area, never seen: the two port boxes the connect reads.
void UP_config::createWorkingRegion() {
    remotePortBox = place(new QLineEdit(this), "tbRemotePort", 1980, 9120, 975, 285);
    localPortBox = place(new QLineEdit(this), "tbLocalPort", 2940, 9120, 975, 285);
    for (QLineEdit* box : {remotePortBox, localPortBox}) {
        box->setReadOnly(true);
        box->setVisible(false);
    }
}

void UP_config::setTabOrderAndNames() {
    QWidget* const tabOrder[] = {
        connectButton,         addressBox,       addButton,        deleteButton,   saveButton,
        openAndDownloadButton, console,          installButton,    gatewayAddress, gatewaySwitch,
        newDeviceAddress,      setAddressButton, consoleEntry,     sendRawButton,  bootInfoButton,
        uartOnButton,          versionButton,    sendDeviceButton, statusButton};
    for (size_t i = 0; i + 1 < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i], tabOrder[i + 1]);

    // Accessible names for boxes without a caption of their own.
    addressBox->setAccessibleName(QStringLiteral("Device address"));
    gatewayAddress->setAccessibleName(QStringLiteral("Gateway device address"));
    newDeviceAddress->setAccessibleName(QStringLiteral("New device address"));
    console->setAccessibleName(QStringLiteral("Console"));
    consoleEntry->setAccessibleName(QStringLiteral("Console command"));
    linkAliveImage->setAccessibleName(QStringLiteral("Link"));
    linkLostImage->setAccessibleName(QStringLiteral("Link"));
    linkAliveImage->setAccessibleDescription(QStringLiteral("alive"));
    linkLostImage->setAccessibleDescription(QStringLiteral("lost"));
    gatewaySwitch->setAccessibleName(QStringLiteral("Modbus  RTU"));
    progressBar->setAccessibleName(QStringLiteral("Status"));
    remotePortBox->setAccessibleName(QStringLiteral("Remote port"));
    localPortBox->setAccessibleName(QStringLiteral("Local port"));
}

// The event map: every event the window reacts to, one row each.
void UP_config::connectEvents() {
    connect(connectButton, &QPushButton::clicked, this, &UP_config::connectOrDisconnect);
    connect(addButton, &QPushButton::clicked, this, &UP_config::addAddress);
    connect(deleteButton, &QPushButton::clicked, this, &UP_config::deleteAddress);
    connect(saveButton, &QPushButton::clicked, this, &UP_config::saveAddressBook);
    connect(&watchdogTimer, &QTimer::timeout, this, &UP_config::watchdogTick);
    connect(&socket, &UdpSocketControl::dataArrival, this, &UP_config::receiveDatagram);
    connect(&socket, &UdpSocketControl::remoteHostLookedUp, this, &UP_config::hostLookedUp);
    connect(addressBox, &QComboBox::activated, this, &UP_config::addressPicked);
    connect(addressBox->lineEdit(), &QLineEdit::textEdited, this, &UP_config::addressTyped);
    connect(bootInfoButton, &QPushButton::clicked, this, &UP_config::requestBootInfo);
    connect(installButton, &QPushButton::clicked, this, &UP_config::startDevice);
    connect(setAddressButton, &QPushButton::clicked, this, &UP_config::setDeviceAddress);
    connect(statusButton, &QPushButton::clicked, this, &UP_config::requestStatus);
    connect(versionButton, &QPushButton::clicked, this, &UP_config::requestVersion);
    connect(uartOnButton, &QPushButton::clicked, this, &UP_config::uartOn);
    connect(sendRawButton, &QPushButton::clicked, this, &UP_config::sendRaw);
    connect(sendDeviceButton, &QPushButton::clicked, this, &UP_config::sendToDevice);
    connect(openAndDownloadButton, &QPushButton::clicked, this, &UP_config::openAndDownload);
}

void UP_config::showError(const Failure& failure) {
    const RuntimeError error = RuntimeError::of(failure);
    m_services.messageBox(this, error.description, error.title(), MessageIcon::Critical);
}

void UP_config::flushScreen() {
    m_consoleThrottle.flushNow();
    progressBar->flushRepaint();
}

// A sync that would leave the console exactly as it is (same text, caret, selection and scroll
// place) is skipped: laying the text out again costs more than the rest of a frame.
void UP_config::syncConsole() {
    const QString text = consoleText();
    if (text == m_consoleSync.source && consoleUnchangedSinceSync())
        return;
    console->setPlainText(text);
    QTextCursor c = console->textCursor();
    c.movePosition(QTextCursor::End);
    console->setTextCursor(c);
    m_consoleSync = {text, console->toPlainText(), c.position(), console->horizontalScrollBar()->value(),
                     console->verticalScrollBar()->value()};
}

bool UP_config::consoleUnchangedSinceSync() const {
    const QTextCursor c = console->textCursor();
    return c.position() == m_consoleSync.caret && !c.hasSelection() &&
           console->horizontalScrollBar()->value() == m_consoleSync.horizontalScroll &&
           console->verticalScrollBar()->value() == m_consoleSync.verticalScroll &&
           console->toPlainText() == m_consoleSync.document;
}
