#include "line_model.h"

#include "progress_view.h"

#include "core/io/printable.h"

namespace {
// How much of a device's text a cell shows, as velta-flash's table.
constexpr qsizetype ShownDeviceText = 80;

QString phaseOf(const DeviceJob& job, const DeviceProgress& p, bool checkFirst) {
    if (job.outcome == DeviceJob::Outcome::Finished)
        return job.phase.isEmpty() ? QStringLiteral("-") : job.phase;
    if (p.waiting)
        return QStringLiteral("waiting");
    switch (p.pass) {
    case FlashPass::BootInfo:
        return QStringLiteral("boot-info");
    case FlashPass::Download:
        return QStringLiteral("download");
    case FlashPass::Verify:
        // The check is the verify pass on its own: it answers each line once.
        break;
    }
    return checkFirst && p.linesToAnswer == p.lineCount ? QStringLiteral("check") : QStringLiteral("verify");
}
} // namespace

RowView rowView(const DeviceJob& job, bool inRun, bool checkFirst) {
    const DeviceProgress p = progressOf(job);
    RowView v;
    v.target = p.label;
    v.device = job.gatewayAddress ? QString::number(*job.gatewayAddress) : QStringLiteral("direct");
    v.finished = job.outcome == DeviceJob::Outcome::Finished;
    v.address = !p.address.isEmpty() ? p.address : v.finished ? QStringLiteral("-") : QString();
    if (!inRun)
        return v;
    v.phase = phaseOf(job, p, checkFirst);
    v.permille = p.linesToAnswer > 0 ? int(1000LL * p.acknowledged / p.linesToAnswer) : 0;
    v.lines =
        p.linesToAnswer > 0 ? QStringLiteral("%1/%2").arg(p.acknowledged).arg(p.linesToAnswer) : QString();
    v.resends = p.resends;
    v.result = p.waiting && !v.finished ? QStringLiteral("waiting") : p.outcome;
    v.word = QString(v.result).replace(QLatin1Char('-'), QLatin1Char(' '));
    v.serial = job.serial ? job.serial->text : QString();
    v.bootInfo = escapedText(cutText(p.bootInfo, ShownDeviceText));
    v.message = v.finished ? p.message : waitText(p);
    return v;
}

LineModel::LineModel(QObject* parent) : QAbstractTableModel(parent) {
    m_tick.setInterval(RefreshMs);
    connect(&m_tick, &QTimer::timeout, this, &LineModel::tick);
}

void LineModel::showLine(const QList<const DeviceJob*>& jobs) {
    beginResetModel();
    m_rows.clear();
    m_rowOf.clear();
    for (const DeviceJob* job : jobs) {
        m_rowOf.insert(job, int(m_rows.size()));
        Row row{job};
        row.view = viewOf(row);
        m_rows << row;
    }
    endResetModel();
    emit refreshed();
}

void LineModel::takeRun(const QList<int>& rows, const QList<const DeviceJob*>& jobs, bool checkFirst) {
    for (qsizetype i = 0; i < rows.size() && i < jobs.size(); ++i) {
        Row& row = m_rows[rows[i]];
        m_rowOf.remove(row.job);
        row = Row{jobs[i], true, checkFirst};
        m_rowOf.insert(jobs[i], rows[i]);
    }
    tick();
}

void LineModel::watch(Runner* runner) {
    connect(runner, &Runner::jobStarted, this, &LineModel::mark);
    connect(runner, &Runner::passChanged, this, &LineModel::mark);
    connect(runner, &Runner::jobFinished, this, &LineModel::mark);
    // The addresses looked up, and the devices that could not be: every row may have changed.
    for (Row& row : m_rows)
        row.marked = true;
}

void LineModel::setFailed(const QList<int>& rows, const QString& key, const QString& message) {
    for (const int r : rows) {
        m_rows[r].failedKey = key;
        m_rows[r].failedMessage = message;
        m_rows[r].marked = true;
    }
    tick();
}

void LineModel::mark(const DeviceJob* job) {
    if (const auto row = m_rowOf.constFind(job); row != m_rowOf.cend())
        m_rows[*row].marked = true;
}

void LineModel::setLive(bool live) {
    if (live) {
        m_tick.start();
        return;
    }
    m_tick.stop();
    for (Row& row : m_rows)
        row.marked = true;
    tick();
}

RowView LineModel::viewOf(const Row& row) const {
    RowView v = rowView(*row.job, row.inRun, row.checkFirst);
    if (!row.failedKey.isEmpty()) {
        v.result = row.failedKey;
        v.word = QString(row.failedKey).replace(QLatin1Char('-'), QLatin1Char(' '));
        v.message = row.failedMessage;
        v.phase = QStringLiteral("-");
        v.finished = true;
    }
    return v;
}

void LineModel::tick() {
    int first = -1;
    bool changed = false;
    for (int i = 0; i <= int(m_rows.size()); ++i) {
        bool repainted = false;
        if (i < int(m_rows.size())) {
            Row& row = m_rows[i];
            if (row.marked || row.job->outcome == DeviceJob::Outcome::Running) {
                row.marked = false;
                RowView v = viewOf(row);
                repainted = v != row.view;
                if (repainted)
                    row.view = std::move(v);
            }
        }
        // Rows that changed side by side are repainted together.
        if (repainted && first < 0)
            first = i;
        if (!repainted && first >= 0) {
            repaint(first, i - 1);
            first = -1;
            changed = true;
        }
    }
    if (changed)
        emit refreshed();
}

void LineModel::repaint(int first, int last) {
    emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

QList<int> LineModel::failedRows() const {
    QList<int> rows;
    for (int i = 0; i < int(m_rows.size()); ++i) {
        const RowView& v = m_rows[i].view;
        if (v.finished && m_rows[i].inRun && v.result != QLatin1String("ok") &&
            v.result != QLatin1String("skipped"))
            rows << i;
    }
    return rows;
}

int LineModel::finishedRows() const {
    return int(std::count_if(m_rows.cbegin(), m_rows.cend(),
                             [](const Row& r) { return r.inRun && r.view.finished; }));
}

QString LineModel::totals() const {
    QList<DeviceProgress> ended;
    for (const Row& row : m_rows) {
        if (row.inRun && row.view.finished)
            ended << DeviceProgress{.outcome = row.view.result};
    }
    return totalsLine(ended).trimmed();
}

int LineModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int LineModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LineModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const RowView& v = m_rows[index.row()].view;
    if (role == PermilleRole)
        return v.permille;
    if (role == ResultRole)
        return v.result;
    if (role == Qt::TextAlignmentRole)
        return index.column() == Resends ? int(Qt::AlignRight | Qt::AlignVCenter)
                                         : int(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    switch (Column(index.column())) {
    case Target:
        return v.target;
    case Device:
        return v.device;
    case Address:
        return v.address;
    case Phase:
        return v.phase;
    case Progress:
        return v.lines.isEmpty() ? QString() : QStringLiteral("%1 (%2%)").arg(v.lines).arg(v.permille / 10);
    case Resends:
        return v.result.isEmpty() ? QVariant() : QVariant(v.resends);
    case Result:
        return v.word;
    case Serial:
        return v.serial;
    case BootInfo:
        return v.bootInfo;
    case Message:
        return v.message;
    case ColumnCount:
        break;
    }
    return {};
}

QVariant LineModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const QStringList names{"Target",  "Device", "Address", "Phase",  "Progress",
                                   "Resends", "Result", "Message", "Serial", "Boot information"};
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::AccessibleTextRole))
        return names.value(section);
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return section + 1;
    return {};
}
