#pragma once

#include "line/runner.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QTimer>

// One device's row as the table shows it, read from its job when the screen is refreshed.
struct RowView {
    QString target, device, address, phase;
    int permille = 0; // of the lines to answer, those answered
    QString lines;    // "120/400": answered of those to answer
    int resends = 0;
    QString result; // resultKey() (also "running"), "waiting", "file-error"; empty before any run
    QString word;   // the result in words: "ok", "device error", "waiting"
    QString serial; // the value the device was given
    QString bootInfo, message;
    bool finished = false;

    friend bool operator==(const RowView&, const RowView&) = default;
};

// What `job` shows: for a run's job (`inRun`) its phase, progress and result as velta-flash's
// lines and table derive them; `checkFirst`: the run checks each device before it downloads.
[[nodiscard]] RowView rowView(const DeviceJob& job, bool inRun, bool checkFirst);

// The line's devices, a row each, over the runner's events. Events only mark rows; the rows are
// read from their jobs at most RefreshMs apart (tick()), and only the rows that changed are
// repainted: with tens of devices and thousands of datagrams each a second, painting per event
// would cost more than the run.
class LineModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Target,
        Device,
        Address,
        Phase,
        Progress,
        Resends,
        Result,
        Message,
        Serial,
        BootInfo,
        ColumnCount
    };
    enum Role { PermilleRole = Qt::UserRole + 1, ResultRole };
    static constexpr int RefreshMs = 34; // 30 refreshes a second at most

    explicit LineModel(QObject* parent = nullptr);

    // The rows of a line not run yet.
    void showLine(const QList<const DeviceJob*>& jobs);
    // The rows `rows` follow the jobs of a run, in that order, from now on.
    void takeRun(const QList<int>& rows, const QList<const DeviceJob*>& jobs, bool checkFirst);
    // Marks the rows of the runner's jobs at each of its events.
    void watch(Runner* runner);
    // The run of these rows ended before it began, for a reason that holds for every device.
    void setFailed(const QList<int>& rows, const QString& key, const QString& message);
    // Refreshes every RefreshMs while `live`; a last refresh when it stops.
    void setLive(bool live);
    // The refresh: the rows marked or under way are read again, those that changed repainted.
    void tick();

    [[nodiscard]] const RowView& view(int row) const { return m_rows.at(row).view; }
    [[nodiscard]] const DeviceJob* job(int row) const { return m_rows.at(row).job; }
    [[nodiscard]] bool live() const { return m_tick.isActive(); }
    // The rows of a run that did not end "ok" or "skipped".
    [[nodiscard]] QList<int> failedRows() const;
    // velta-flash's totals line over the rows that ended ("9 ok, 1 skipped, 2 failed: 2 timeout").
    [[nodiscard]] QString totals() const;
    [[nodiscard]] int finishedRows() const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // A refresh changed rows.
    void refreshed();

private:
    struct Row {
        const DeviceJob* job = nullptr;
        bool inRun = false;
        bool checkFirst = false;
        QString failedKey, failedMessage; // the run's own failure
        bool marked = true;
        RowView view;
    };
    [[nodiscard]] RowView viewOf(const Row& row) const;
    void mark(const DeviceJob* job);
    void repaint(int first, int last);

    QList<Row> m_rows;
    QHash<const DeviceJob*, int> m_rowOf;
    QTimer m_tick;
};
