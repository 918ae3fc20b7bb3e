#pragma once

#include "line/hex_input.h"
#include "line/line_run.h"
#include "line_model.h"
#include "station_form.h"
#include "station_services.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTableView;
struct LineStart;

// The station's window over a line: the form (the line, the firmware, what to do, the outputs),
// Start, Stop and Rerun failed, the devices' table and the totals. Every run is a LineRun, the
// flasher's engine, made from the form as velta-flash's command line would make it; the window
// adds a model over the runner's events and nothing of the engine of its own.
//
// Controls by object name:
//   hostsFiles, openHosts, targets, scan, direct, lineStatus      the line
//   pickFirmware, firmwareName, firmwareLines, firmwareSha256,
//   firmwareStatus                                                the firmware
//   flash, verifyOnly, checkThenFlash, startAfter, expectVersion  what to do
//   reportFile, logFile, failedHostsFile (each with choose...),
//   options                                                      the outputs and other options
//   serialSource, serialPool, serialAt, serialSize, serialFormat,
//   serialStart, serialStep, serialFile (pool and file with choose...)  serial numbers
//   startButton, stopButton, rerunButton, totals, devices,
//   messages                                                     the run
class LineWindow : public QWidget {
    Q_OBJECT
public:
    // `settingsPath`: the station's settings file (its folder is made when it is saved).
    LineWindow(StationServices services, QString settingsPath, QWidget* parent = nullptr);
    ~LineWindow() override;

    // Fills the form from a command line; with --scan the inventory starts, with --run the line.
    void open(const LineStart& start);
    // The buttons' operations, also for the keys and the command line.
    void startLine();
    void stopLine();
    void rerunFailed();
    void scanLine();
    // A termination signal: the run under way is interrupted by it, then the window closes.
    void terminate(int signalNumber);

    [[nodiscard]] const StationForm& form() const { return m_form; }
    [[nodiscard]] bool running() const { return m_running != nullptr; }
    // The last run's exit code as velta-flash's would be; 0 before any run.
    [[nodiscard]] int exitCode() const { return m_exitCode; }
    [[nodiscard]] LineModel& model() { return m_model; }

signals:
    void runEnded(int exitCode);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    [[nodiscard]] QGroupBox* lineGroup();
    [[nodiscard]] QGroupBox* firmwareGroup();
    [[nodiscard]] QGroupBox* operationGroup();
    [[nodiscard]] QGroupBox* outputsGroup();
    [[nodiscard]] QGroupBox* serialGroup();
    void devicesTable();
    void connectEvents();
    void setTabOrder();

    // The form and the controls, both ways.
    void showForm();
    void readForm();
    void formChanged();
    void refreshLine();
    void loadFirmware();
    void openHostsFile();
    void pickFirmware();
    void chooseOutput(QLineEdit* edit, const QString& title);
    void saveStation() const;

    // Runs.
    void beginRun(const LineOptions& options, const QList<int>& rows, bool inventory);
    void runDone(LineRun* run);
    void finishRun(const QString& runId, int exitCode);
    void inventoryDone(const LineRun& run);
    void showMessage(const QString& text);
    void showTotals();
    void updateControls();
    [[nodiscard]] bool canStart() const;
    [[nodiscard]] bool canScan() const;

    StationServices m_services;
    QString m_settingsPath;
    StationForm m_form;
    std::optional<LineOptions> m_options; // the form's run, while the form makes one
    QString m_lineProblem;
    std::optional<LineOptions> m_inventoryOptions;
    std::optional<FlashFile> m_firmware;
    QString m_firmwareProblem;
    QString m_firmwareRead; // the file and check m_firmware was read with
    LineModel m_model;
    std::unique_ptr<LineRun> m_preview;           // the line's rows before it runs
    std::vector<std::unique_ptr<LineRun>> m_runs; // the runs whose devices the rows show
    LineRun* m_running = nullptr;
    bool m_inventory = false;               // the run under way is an inventory
    std::optional<LineOptions> m_lastFlash; // the settings of the last Start, for reruns
    QString m_lastMessage;
    int m_exitCode = 0;
    bool m_closeWhenDone = false;
    bool m_showing = false; // the controls are being filled from the form

    QLineEdit *m_hostsFiles = nullptr, *m_targets = nullptr, *m_expectVersion = nullptr,
              *m_reportFile = nullptr, *m_logFile = nullptr, *m_failedHostsFile = nullptr,
              *m_flasherOptions = nullptr, *m_history = nullptr, *m_station = nullptr;
    QPushButton *m_openHosts = nullptr, *m_scan = nullptr, *m_pickFirmware = nullptr,
                *m_chooseReport = nullptr, *m_chooseLog = nullptr, *m_chooseFailedHosts = nullptr,
                *m_chooseHistory = nullptr, *m_start = nullptr, *m_stop = nullptr, *m_rerun = nullptr;
    QCheckBox *m_direct = nullptr, *m_startAfter = nullptr;
    QRadioButton *m_flash = nullptr, *m_verifyOnly = nullptr, *m_checkThenFlash = nullptr;
    QButtonGroup* m_operation = nullptr;
    QLabel *m_lineStatus = nullptr, *m_firmwareName = nullptr, *m_firmwareLines = nullptr,
           *m_firmwareSha256 = nullptr, *m_firmwareStatus = nullptr, *m_totals = nullptr;
    QComboBox *m_serialSource = nullptr, *m_serialFormat = nullptr;
    QLineEdit *m_serialPool = nullptr, *m_serialAt = nullptr, *m_serialSize = nullptr,
              *m_serialStart = nullptr, *m_serialStep = nullptr, *m_serialFile = nullptr;
    QPushButton *m_chooseSerialPool = nullptr, *m_chooseSerialFile = nullptr;
    QTableView* m_table = nullptr;
    QPlainTextEdit* m_messages = nullptr;
    QList<QWidget*> m_formControls; // disabled while a run is under way
};
