#include "line_window.h"

#include "line_delegates.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSysInfo>
#include <QTableView>
#include <QVBoxLayout>

namespace {
template <typename T> T* named(T* widget, const char* name, const QString& accessible) {
    widget->setObjectName(QLatin1String(name));
    widget->setAccessibleName(accessible);
    return widget;
}
QPushButton* button(const QString& text, const char* name, const QString& accessible) {
    return named(new QPushButton(text), name, accessible);
}
QLineEdit* edit(const char* name, const QString& accessible) {
    auto* e = named(new QLineEdit, name, accessible);
    e->setClearButtonEnabled(true);
    return e;
}
QLabel* label(const char* name, const QString& accessible) {
    auto* l = named(new QLabel, name, accessible);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->setWordWrap(true);
    return l;
}
// A field with its browse button, on one row.
QWidget* withButton(QWidget* field, QPushButton* action) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field, 1);
    layout->addWidget(action);
    return row;
}
QFont scaled(QFont font, qreal factor, bool bold = false) {
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(bold);
    return font;
}
} // namespace

LineWindow::LineWindow(StationServices services, QString settingsPath, QWidget* parent)
    : QWidget(parent), m_services(std::move(services)), m_settingsPath(std::move(settingsPath)) {
    setObjectName(QStringLiteral("lineWindow"));
    createControls();
    connectEvents();
    setTabOrder();
    QSettings settings(m_settingsPath, QSettings::IniFormat);
    m_form = StationForm::load(settings);
    showForm();
    formChanged();
    // Wide enough for a failed row's words, and as tall as the screen allows: a line's rows at a glance.
    const QRect screen = this->screen()->availableGeometry();
    resize(std::min(1200, screen.width()), std::clamp(screen.height() * 9 / 10, 600, 1000));
}

LineWindow::~LineWindow() = default;

QGroupBox* LineWindow::lineGroup() {
    auto* group = new QGroupBox(tr("Line"));
    auto* form = new QFormLayout(group);
    m_hostsFiles = edit("hostsFiles", tr("Hosts files, separated by semicolons"));
    m_openHosts = button(tr("&Open..."), "openHosts", tr("Open a hosts file"));
    m_targets = edit("targets", tr("More targets, or an inventory's ranges, separated by blanks"));
    m_targets->setPlaceholderText(tr("HOST[:PORT][/ADDR] ... or HOST:PORT/0-31 to scan"));
    m_scan = button(tr("S&can"), "scan", tr("Scan the targets' address ranges"));
    m_direct = named(new QCheckBox(tr("&Direct: targets without /ADDR have no gateway")), "direct",
                     tr("Direct: targets without a device address have no gateway"));
    m_lineStatus = label("lineStatus", tr("The line"));
    auto* hosts = new QLabel(tr("&Hosts file"));
    hosts->setBuddy(m_hostsFiles);
    auto* targets = new QLabel(tr("Tar&gets"));
    targets->setBuddy(m_targets);
    form->addRow(hosts, withButton(m_hostsFiles, m_openHosts));
    form->addRow(targets, withButton(m_targets, m_scan));
    form->addRow(m_direct);
    form->addRow(m_lineStatus);
    return group;
}

QGroupBox* LineWindow::firmwareGroup() {
    auto* group = new QGroupBox(tr("Firmware"));
    auto* form = new QFormLayout(group);
    m_pickFirmware = button(tr("&Firmware..."), "pickFirmware", tr("Pick the firmware file"));
    m_firmwareName = label("firmwareName", tr("Firmware file"));
    m_firmwareLines = label("firmwareLines", tr("Firmware lines"));
    m_firmwareSha256 = label("firmwareSha256", tr("Firmware SHA-256"));
    m_firmwareSha256->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_firmwareStatus = label("firmwareStatus", tr("Firmware check"));
    form->addRow(m_pickFirmware, m_firmwareName);
    form->addRow(tr("Lines"), m_firmwareLines);
    form->addRow(tr("SHA-256"), m_firmwareSha256);
    form->addRow(m_firmwareStatus);
    return group;
}

QGroupBox* LineWindow::operationGroup() {
    auto* group = new QGroupBox(tr("What to do"));
    auto* form = new QFormLayout(group);
    m_flash = named(new QRadioButton(tr("F&lash (download and verify)")), "flash", tr("Flash"));
    m_verifyOnly = named(new QRadioButton(tr("&Verify only")), "verifyOnly", tr("Verify only"));
    m_checkThenFlash = named(new QRadioButton(tr("Check, then flash &where needed")), "checkThenFlash",
                             tr("Check, then flash where needed"));
    m_operation = new QButtonGroup(this);
    m_operation->addButton(m_flash, int(StationForm::Operation::Flash));
    m_operation->addButton(m_verifyOnly, int(StationForm::Operation::Verify));
    m_operation->addButton(m_checkThenFlash, int(StationForm::Operation::CheckThenFlash));
    m_startAfter = named(new QCheckBox(tr("Start after s&uccess")), "startAfter", tr("Start after success"));
    m_expectVersion = edit("expectVersion", tr("Expected version"));
    m_expectVersion->setPlaceholderText(tr("any"));
    auto* version = new QLabel(tr("E&xpected version"));
    version->setBuddy(m_expectVersion);
    form->addRow(m_flash);
    form->addRow(m_verifyOnly);
    form->addRow(m_checkThenFlash);
    form->addRow(m_startAfter);
    form->addRow(version, m_expectVersion);
    return group;
}

QGroupBox* LineWindow::outputsGroup() {
    auto* group = new QGroupBox(tr("Outputs and options"));
    auto* form = new QGridLayout(group);
    m_reportFile = edit("reportFile", tr("Report file"));
    m_chooseReport = button(tr("..."), "chooseReport", tr("Choose the report file"));
    m_logFile = edit("logFile", tr("Log file"));
    m_chooseLog = button(tr("..."), "chooseLog", tr("Choose the log file"));
    m_failedHostsFile = edit("failedHostsFile", tr("Failed hosts list"));
    m_chooseFailedHosts = button(tr("..."), "chooseFailedHosts", tr("Choose the failed hosts list"));
    m_history = edit("history", tr("History: an SQLite file or a postgresql:// URL"));
    m_history->setPlaceholderText(tr("history.db or postgresql://line@db-host/line"));
    m_chooseHistory = button(tr("..."), "chooseHistory", tr("Choose the history file"));
    m_station = edit("station", tr("Station name in the records"));
    m_station->setPlaceholderText(QSysInfo::machineHostName());
    m_flasherOptions = edit("options", tr("More options, as velta-flash takes them"));
    m_flasherOptions->setPlaceholderText(tr("--timeout 0.5 --jobs 4 ..."));
    // Two fields a row, each with its label.
    int cell = 0;
    const auto add = [&](const QString& text, QLineEdit* field, QPushButton* action) {
        auto* l = new QLabel(text);
        l->setBuddy(field);
        form->addWidget(l, cell / 2, cell % 2 * 2);
        form->addWidget(action ? withButton(field, action) : field, cell / 2, cell % 2 * 2 + 1);
        ++cell;
    };
    add(tr("Re&port"), m_reportFile, m_chooseReport);
    add(tr("Log f&ile"), m_logFile, m_chooseLog);
    add(tr("Fail&ed hosts list"), m_failedHostsFile, m_chooseFailedHosts);
    add(tr("Histor&y"), m_history, m_chooseHistory);
    add(tr("Station na&me"), m_station, nullptr);
    add(tr("More optio&ns"), m_flasherOptions, nullptr);
    return group;
}

// Serial numbers from a pool, as velta-flash's --serial-* options take them.
QGroupBox* LineWindow::serialGroup() {
    auto* group = new QGroupBox(tr("Serial numbers"));
    auto* form = new QGridLayout(group);
    m_serialSource = named(new QComboBox, "serialSource", tr("Serial numbers: where they come from"));
    for (const auto& [text, key] :
         {std::pair(tr("none"), QString()), std::pair(tr("a counter"), QStringLiteral("counter")),
          std::pair(tr("a list file"), QStringLiteral("list")),
          std::pair(tr("an SQTP file"), QStringLiteral("sqtp"))})
        m_serialSource->addItem(text, key);
    m_serialPool = edit("serialPool", tr("Serial pool"));
    m_chooseSerialPool = button(tr("..."), "chooseSerialPool", tr("Choose the serial pool"));
    m_serialAt = edit("serialAt", tr("Serial address"));
    m_serialAt->setPlaceholderText(tr("0x7FF0"));
    m_serialSize = edit("serialSize", tr("Serial size in bytes"));
    m_serialFormat = named(new QComboBox, "serialFormat", tr("Serial format"));
    m_serialFormat->addItems({QStringLiteral("be"), QStringLiteral("le"), QStringLiteral("ascii"),
                              QStringLiteral("hex"), QStringLiteral("mac")});
    m_serialStart = edit("serialStart", tr("Counter's first value"));
    m_serialStep = edit("serialStep", tr("Counter's step"));
    m_serialStep->setPlaceholderText(tr("1"));
    m_serialFile = edit("serialFile", tr("List or SQTP file"));
    m_chooseSerialFile = button(tr("..."), "chooseSerialFile", tr("Choose the list or SQTP file"));
    int cell = 0;
    const auto add = [&](const QString& text, QWidget* field) {
        auto* l = new QLabel(text);
        l->setBuddy(field);
        form->addWidget(l, cell / 3, cell % 3 * 2);
        form->addWidget(field, cell / 3, cell % 3 * 2 + 1);
        ++cell;
    };
    add(tr("Seria&l source"), m_serialSource);
    add(tr("Poo&l"), withButton(m_serialPool, m_chooseSerialPool));
    add(tr("File"), withButton(m_serialFile, m_chooseSerialFile));
    add(tr("Address"), m_serialAt);
    add(tr("Bytes"), m_serialSize);
    add(tr("Format"), m_serialFormat);
    add(tr("First value"), m_serialStart);
    add(tr("Step"), m_serialStep);
    return group;
}

// The devices' table: a row each, large enough to read at a distance.
void LineWindow::devicesTable() {
    m_table = named(new QTableView, "devices", tr("Devices"));
    m_table->setModel(&m_model);
    m_table->setItemDelegateForColumn(LineModel::Progress, new ProgressDelegate(m_table));
    m_table->setItemDelegateForColumn(LineModel::Result, new ResultDelegate(m_table));
    m_table->setFont(scaled(font(), 1.2));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setTabKeyNavigation(false);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->setDefaultSectionSize(QFontMetrics(m_table->font()).height() * 7 / 4);
    QHeaderView* header = m_table->horizontalHeader();
    header->setStretchLastSection(true);
    for (const auto& [column, width] :
         {std::pair(LineModel::Target, 170), std::pair(LineModel::Device, 64),
          std::pair(LineModel::Address, 104), std::pair(LineModel::Phase, 84),
          std::pair(LineModel::Progress, 140), std::pair(LineModel::Resends, 76),
          std::pair(LineModel::Result, 140), std::pair(LineModel::Message, 420),
          std::pair(LineModel::Serial, 110)})
        header->resizeSection(column, width);
}

void LineWindow::createControls() {
    auto* top = new QGridLayout;
    top->addWidget(lineGroup(), 0, 0);
    top->addWidget(firmwareGroup(), 0, 1);
    top->addWidget(operationGroup(), 0, 2);
    top->addWidget(outputsGroup(), 1, 0, 1, 3);
    top->addWidget(serialGroup(), 2, 0, 1, 3);
    top->setColumnStretch(0, 3);
    top->setColumnStretch(1, 2);

    m_start = button(tr("&Start"), "startButton", tr("Start"));
    m_stop = button(tr("S&top"), "stopButton", tr("Stop"));
    m_rerun = button(tr("&Rerun failed"), "rerunButton", tr("Rerun failed"));
    m_totals = label("totals", tr("Totals"));
    m_totals->setFont(scaled(font(), 1.6, true));
    for (QPushButton* b : {m_start, m_stop, m_rerun}) {
        b->setFont(scaled(font(), 1.3, true));
        b->setMinimumHeight(b->sizeHint().height() * 3 / 2);
    }
    auto* actions = new QHBoxLayout;
    for (QWidget* w :
         {static_cast<QWidget*>(m_start), static_cast<QWidget*>(m_stop), static_cast<QWidget*>(m_rerun)})
        actions->addWidget(w);
    actions->addSpacing(16);
    actions->addWidget(m_totals, 1);

    devicesTable();

    m_messages = named(new QPlainTextEdit, "messages", tr("Messages"));
    m_messages->setReadOnly(true);
    m_messages->setTabChangesFocus(true);
    m_messages->setMaximumBlockCount(1000);
    m_messages->setFixedHeight(QFontMetrics(m_messages->font()).height() * 3 + 12);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(actions);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_messages);
    m_formControls = {m_hostsFiles,
                      m_openHosts,
                      m_targets,
                      m_scan,
                      m_direct,
                      m_pickFirmware,
                      m_flash,
                      m_verifyOnly,
                      m_checkThenFlash,
                      m_startAfter,
                      m_expectVersion,
                      m_reportFile,
                      m_chooseReport,
                      m_logFile,
                      m_chooseLog,
                      m_failedHostsFile,
                      m_chooseFailedHosts,
                      m_history,
                      m_chooseHistory,
                      m_station,
                      m_flasherOptions,
                      m_serialSource,
                      m_serialPool,
                      m_chooseSerialPool,
                      m_serialFile,
                      m_chooseSerialFile,
                      m_serialAt,
                      m_serialSize,
                      m_serialFormat,
                      m_serialStart,
                      m_serialStep};
}

// The event map: every control, key and run event, one line each.
void LineWindow::connectEvents() {
    for (QLineEdit* e : {m_hostsFiles, m_targets, m_expectVersion, m_reportFile, m_logFile, m_failedHostsFile,
                         m_history, m_station, m_flasherOptions, m_serialPool, m_serialAt, m_serialSize,
                         m_serialStart, m_serialStep, m_serialFile})
        connect(e, &QLineEdit::textChanged, this, &LineWindow::formChanged);
    for (QComboBox* c : {m_serialSource, m_serialFormat})
        connect(c, &QComboBox::currentIndexChanged, this, &LineWindow::formChanged);
    connect(m_chooseSerialPool, &QPushButton::clicked, this,
            [this] { chooseOutput(m_serialPool, tr("Serial pool")); });
    connect(m_chooseSerialFile, &QPushButton::clicked, this,
            [this] { chooseOutput(m_serialFile, tr("List or SQTP file")); });
    connect(m_direct, &QCheckBox::toggled, this, &LineWindow::formChanged);
    connect(m_startAfter, &QCheckBox::toggled, this, &LineWindow::formChanged);
    connect(m_operation, &QButtonGroup::idToggled, this, &LineWindow::formChanged);
    connect(m_openHosts, &QPushButton::clicked, this, &LineWindow::openHostsFile);
    connect(m_scan, &QPushButton::clicked, this, &LineWindow::scanLine);
    connect(m_pickFirmware, &QPushButton::clicked, this, &LineWindow::pickFirmware);
    connect(m_chooseReport, &QPushButton::clicked, this,
            [this] { chooseOutput(m_reportFile, tr("Report")); });
    connect(m_chooseLog, &QPushButton::clicked, this, [this] { chooseOutput(m_logFile, tr("Log file")); });
    connect(m_chooseHistory, &QPushButton::clicked, this, [this] { chooseOutput(m_history, tr("History")); });
    connect(m_chooseFailedHosts, &QPushButton::clicked, this,
            [this] { chooseOutput(m_failedHostsFile, tr("Failed hosts list")); });
    connect(m_start, &QPushButton::clicked, this, &LineWindow::startLine);
    connect(m_stop, &QPushButton::clicked, this, &LineWindow::stopLine);
    connect(m_rerun, &QPushButton::clicked, this, &LineWindow::rerunFailed);
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(key, this), &QShortcut::activated, this, &LineWindow::startLine);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &LineWindow::stopLine);
    connect(&m_model, &LineModel::refreshed, this, &LineWindow::showTotals);
}

// The form first, top to bottom and left to right, then the run's buttons, the table, the messages.
void LineWindow::setTabOrder() {
    const QList<QWidget*> order =
        m_formControls + QList<QWidget*>{m_start, m_stop, m_rerun, m_table, m_messages};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void LineWindow::showForm() {
    m_showing = true;
    m_hostsFiles->setText(m_form.hostsFiles.join(QStringLiteral("; ")));
    m_targets->setText(m_form.targets);
    m_direct->setChecked(m_form.direct);
    m_operation->button(int(m_form.operation))->setChecked(true);
    m_startAfter->setChecked(m_form.start);
    m_expectVersion->setText(m_form.expectVersion);
    m_reportFile->setText(m_form.reportFile);
    m_logFile->setText(m_form.logFile);
    m_failedHostsFile->setText(m_form.failedHostsFile);
    m_history->setText(m_form.history);
    m_station->setText(m_form.station);
    m_flasherOptions->setText(m_form.options);
    m_serialSource->setCurrentIndex(std::max(0, m_serialSource->findData(m_form.serialSource)));
    m_serialPool->setText(m_form.serialPool);
    m_serialAt->setText(m_form.serialAt);
    m_serialSize->setText(m_form.serialSize);
    m_serialFormat->setCurrentText(m_form.serialFormat);
    m_serialStart->setText(m_form.serialStart);
    m_serialStep->setText(m_form.serialStep);
    m_serialFile->setText(m_form.serialFile);
    m_showing = false;
}

void LineWindow::readForm() {
    m_form.hostsFiles.clear();
    for (const QString& path : m_hostsFiles->text().split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!path.trimmed().isEmpty())
            m_form.hostsFiles << path.trimmed();
    }
    m_form.targets = m_targets->text().simplified();
    m_form.direct = m_direct->isChecked();
    m_form.operation = StationForm::Operation(m_operation->checkedId());
    m_form.start = m_startAfter->isChecked();
    m_form.expectVersion = m_expectVersion->text().trimmed();
    m_form.reportFile = m_reportFile->text().trimmed();
    m_form.logFile = m_logFile->text().trimmed();
    m_form.failedHostsFile = m_failedHostsFile->text().trimmed();
    m_form.history = m_history->text().trimmed();
    m_form.station = m_station->text().trimmed();
    m_form.options = m_flasherOptions->text().simplified();
    m_form.serialSource = m_serialSource->currentData().toString();
    m_form.serialPool = m_serialPool->text().trimmed();
    m_form.serialAt = m_serialAt->text().trimmed();
    m_form.serialSize = m_serialSize->text().trimmed();
    m_form.serialFormat = m_serialFormat->currentText();
    m_form.serialStart = m_serialStart->text().trimmed();
    m_form.serialStep = m_serialStep->text().trimmed();
    m_form.serialFile = m_serialFile->text().trimmed();
}

void LineWindow::formChanged() {
    if (m_showing)
        return;
    readForm();
    refreshLine();
    loadFirmware();
    updateControls();
}

// The line as the form makes it: its rows, or why it cannot be run.
void LineWindow::refreshLine() {
    auto flash = m_form.lineOptions();
    auto inventory = m_form.lineOptions(true);
    m_options = flash ? std::optional(*flash) : std::nullopt;
    m_inventoryOptions = inventory ? std::optional(*inventory) : std::nullopt;
    m_lineProblem = flash ? QString() : flash.failure().detail;
    const LineOptions* line = flash ? &*flash : inventory ? &*inventory : nullptr;
    if (m_running)
        return; // the rows show the run; the next one takes the form as it is then
    auto preview = std::make_unique<LineRun>(line ? *line : LineOptions{}, m_services.lookUpHost);
    QStringList before, after;
    for (int r = 0; r < m_model.rowCount(); ++r)
        before << m_model.job(r)->target.label;
    for (const DeviceJob* job : preview->jobs())
        after << job->target.label;
    // A run's results stay while the form names the same devices.
    if (before != after || m_runs.empty()) {
        m_model.showLine(preview->jobs());
        m_runs.clear();
        m_preview = std::move(preview);
    }
    const int devices = m_model.rowCount();
    m_lineStatus->setText(!m_lineProblem.isEmpty() ? m_lineProblem
                          : devices == 1           ? tr("1 device")
                                                   : tr("%1 devices").arg(devices));
    m_lineStatus->setStyleSheet(m_lineProblem.isEmpty() ? QString() : QStringLiteral("color: #c00000"));
}

// The file is checked as velta-flash checks it, whenever it or the check changes.
void LineWindow::loadFirmware() {
    const bool check = m_options ? m_options->check : !m_form.options.contains(QLatin1String("--no-check"));
    const QString read = m_form.file + (check ? QStringLiteral("|check") : QString());
    if (read == m_firmwareRead)
        return;
    m_firmwareRead = read;
    m_firmware.reset();
    m_firmwareProblem.clear();
    if (!m_form.file.isEmpty()) {
        auto loaded = loadFlashFile(m_form.file, check);
        if (loaded)
            m_firmware = std::move(*loaded);
        else
            m_firmwareProblem = loaded.failure().detail;
    }
    m_firmwareName->setText(m_form.file.isEmpty() ? tr("none picked") : QFileInfo(m_form.file).fileName());
    m_firmwareName->setToolTip(m_form.file);
    m_firmwareLines->setText(m_firmware ? QString::number(m_firmware->lines.count()) : QString());
    // In two halves, one under the other: the group stays narrow, the digits as easy to compare.
    const QString sha = m_firmware ? m_firmware->sha256 : QString();
    m_firmwareSha256->setText(sha.left(32) + (sha.isEmpty() ? QString() : QStringLiteral("\n")) +
                              sha.mid(32));
    m_firmwareSha256->setAccessibleDescription(sha);
    m_firmwareStatus->setText(m_firmwareProblem.isEmpty() ? QString()
                                                          : tr("Refused: %1").arg(m_firmwareProblem));
    m_firmwareStatus->setStyleSheet(QStringLiteral("color: #c00000; font-weight: bold"));
}

void LineWindow::openHostsFile() {
    const QString folder =
        m_form.hostsFiles.isEmpty() ? QString() : QFileInfo(m_form.hostsFiles.first()).path();
    if (const auto path = m_services.chooseFile(
            this, {tr("Open a hosts file"), QStringLiteral("Hosts files (*.hosts)|*.hosts|All files|*"),
                   folder, false}))
        m_hostsFiles->setText(*path);
}

void LineWindow::pickFirmware() {
    const auto path = m_services.chooseFile(this, {tr("Pick the firmware"),
                                                   QStringLiteral("HEX files (*.hex)|*.hex|All files|*"),
                                                   m_form.firmwareFolder, false});
    if (!path)
        return;
    m_form.file = *path;
    m_form.firmwareFolder = QFileInfo(*path).absolutePath();
    formChanged();
}

void LineWindow::chooseOutput(QLineEdit* edit, const QString& title) {
    const QString folder = edit->text().isEmpty() ? QString() : QFileInfo(edit->text()).path();
    if (const auto path = m_services.chooseFile(this, {title, QStringLiteral("All files|*"), folder, true}))
        edit->setText(*path);
}

void LineWindow::saveStation() const {
    QSettings settings(m_settingsPath, QSettings::IniFormat);
    m_form.save(settings);
}

void LineWindow::updateControls() {
    const bool idle = m_running == nullptr;
    for (QWidget* w : std::as_const(m_formControls))
        w->setEnabled(idle);
    m_scan->setEnabled(canScan());
    m_start->setEnabled(canStart());
    m_stop->setEnabled(!idle);
    m_rerun->setEnabled(idle && m_lastFlash && !m_model.failedRows().isEmpty());
    showTotals();
}

bool LineWindow::canStart() const {
    return !m_running && m_options && !m_options->scan && !m_options->hosts.isEmpty() && m_firmware;
}

bool LineWindow::canScan() const {
    return !m_running && m_inventoryOptions && !m_inventoryOptions->hosts.isEmpty();
}
