// The line window's runs: Start, Stop, Rerun failed and the inventory, each a LineRun.
#include "line_command.h"
#include "line_window.h"
#include "progress_view.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSet>
#include <QTimer>

#include <csignal>

void LineWindow::open(const LineStart& start) {
    const QString folder = m_form.firmwareFolder;
    m_form = start.form;
    m_form.firmwareFolder = start.form.file.isEmpty() ? folder : QFileInfo(start.form.file).absolutePath();
    showForm();
    formChanged();
    if (start.scan)
        QTimer::singleShot(0, this, &LineWindow::scanLine);
    else if (start.run)
        QTimer::singleShot(0, this, &LineWindow::startLine);
}

void LineWindow::startLine() {
    if (!canStart())
        return;
    saveStation();
    m_lastFlash = *m_options;
    QList<int> rows;
    for (int r = 0; r < m_model.rowCount(); ++r)
        rows << r;
    beginRun(*m_options, rows, false);
}

// The targets that did not end "ok" or "skipped", as velta-flash's list of failed targets names
// them, with the settings of the last Start: a run of its own, appended to the same report.
void LineWindow::rerunFailed() {
    if (m_running || !m_lastFlash)
        return;
    LineOptions options = *m_lastFlash;
    options.hosts.clear();
    options.hostsFiles.clear();
    QList<int> rows;
    for (const int r : m_model.failedRows()) {
        if (auto entry = parseHostEntry(m_model.job(r)->target.label)) {
            options.hosts << *entry;
            rows << r;
        }
    }
    if (!rows.isEmpty())
        beginRun(options, rows, false);
}

void LineWindow::scanLine() {
    if (!canScan())
        return;
    saveStation();
    QList<int> rows;
    for (int r = 0; r < m_model.rowCount(); ++r)
        rows << r;
    beginRun(*m_inventoryOptions, rows, true);
}

void LineWindow::stopLine() {
    if (!m_running)
        return;
    const bool stop = m_services.confirm(
        this, tr("Stop the line"),
        tr("Stop sending to every device now? Devices under way and those not begun end as interrupted."),
        tr("Stop"), tr("Go on"));
    // The run may have ended while the question was open.
    if (stop && m_running)
        m_running->interrupt(SIGINT);
}

void LineWindow::terminate(int signalNumber) {
    m_closeWhenDone = true;
    if (m_running)
        m_running->interrupt(signalNumber);
    else
        close();
}

void LineWindow::closeEvent(QCloseEvent* event) {
    if (!m_running) {
        saveStation();
        event->accept();
        return;
    }
    event->ignore();
    if (m_closeWhenDone)
        return; // stopping; the window closes when the run has ended
    const bool stop =
        m_services.confirm(this, tr("Close the line window"),
                           tr("The line is running. Stop sending to every device now and close the window?"),
                           tr("Stop and close"), tr("Go on"));
    if (stop && m_running) {
        m_closeWhenDone = true;
        m_running->interrupt(SIGINT);
    }
}

void LineWindow::beginRun(const LineOptions& options, const QList<int>& rows, bool inventory) {
    m_runs.push_back(std::make_unique<LineRun>(options, m_services.lookUpHost));
    LineRun* run = m_runs.back().get();
    m_preview.reset();
    connect(run, &LineRun::message, this, &LineWindow::showMessage);
    connect(run, &LineRun::runnerReady, &m_model, [this](Runner* runner) { m_model.watch(runner); });
    // Queued: an interruption before the devices began ends the run within interrupt().
    connect(
        run, &LineRun::done, this, [this, run] { runDone(run); }, Qt::QueuedConnection);
    m_running = run;
    m_inventory = inventory;
    m_messages->clear();
    m_lastMessage.clear();
    m_model.takeRun(rows, run->jobs(), options.skipVerified);
    m_model.setLive(true);
    // The runs no row shows any more go: a station runs its line all day.
    QSet<const DeviceJob*> shown;
    for (int r = 0; r < m_model.rowCount(); ++r)
        shown << m_model.job(r);
    std::erase_if(m_runs, [&](const std::unique_ptr<LineRun>& r) {
        const QList<const DeviceJob*> jobs = r->jobs();
        return r.get() != run && std::none_of(jobs.cbegin(), jobs.cend(),
                                              [&](const DeviceJob* j) { return shown.contains(j); });
    });
    updateControls();
    if (const auto code = run->prepare()) {
        // As velta-flash ends there: a bad file has every device's record written already, an
        // output that cannot be opened none.
        m_model.setFailed(rows,
                          *code == ExitCode::BadFile       ? QStringLiteral("file-error")
                          : *code >= ExitCode::Interrupted ? QStringLiteral("interrupted")
                                                           : QStringLiteral("refused"),
                          m_lastMessage);
        finishRun(run->runId(), *code);
        return;
    }
    QTimer::singleShot(0, run, &LineRun::start);
}

void LineWindow::runDone(LineRun* run) {
    int code = run->settle();
    if (run->refused()) {
        QList<int> rows;
        for (int r = 0; r < m_model.rowCount(); ++r)
            rows << r;
        m_model.setFailed(rows, QStringLiteral("refused"), m_lastMessage);
    } else {
        code = run->close(code);
    }
    const QString id = run->runId();
    if (m_inventory && !run->interruptedBy())
        inventoryDone(*run);
    finishRun(id, code);
}

void LineWindow::finishRun(const QString& runId, int exitCode) {
    m_exitCode = exitCode;
    m_running = nullptr;
    m_model.setLive(false);
    showMessage(tr("run %1 ended with exit code %2").arg(runId).arg(exitCode));
    if (m_inventory)
        formChanged();
    updateControls();
    emit runEnded(exitCode);
    if (m_closeWhenDone)
        QTimer::singleShot(0, this, &QWidget::close);
}

// The devices that answered become the line; with none, the targets stay as they were.
void LineWindow::inventoryDone(const LineRun& run) {
    const QString table = inventoryTable(run.jobs(), false);
    showMessage(table.section(QLatin1Char('\n'), -2, -2));
    for (const QString& host : silentGateways(run.jobs()))
        showMessage(tr("%1: no device answered at any address asked; a device without a gateway needs Direct")
                        .arg(host));
    QStringList found;
    for (const DeviceJob* job : run.jobs()) {
        if (succeeded(*job))
            found << job->target.label;
    }
    if (found.isEmpty())
        return;
    m_form.targets = found.join(QLatin1Char(' '));
    m_form.hostsFiles.clear();
    // The inventory's rows give way to the line's.
    m_model.showLine({});
    m_runs.clear();
    showForm();
}

void LineWindow::showMessage(const QString& text) {
    m_lastMessage = text;
    m_messages->appendPlainText(text);
}

// The totals line as velta-flash prints it under its table, once the run has ended; the title
// carries it too, for the task bar.
void LineWindow::showTotals() {
    const int rows = m_model.rowCount(), finished = m_model.finishedRows();
    QString text;
    if (m_running)
        text = tr("%1 of %2 done: %3").arg(finished).arg(rows).arg(m_model.totals());
    else if (finished > 0)
        text = m_model.totals();
    m_totals->setText(text);
    const QString line =
        m_form.hostsFiles.isEmpty() ? QString() : QFileInfo(m_form.hostsFiles.first()).fileName() + " - ";
    setWindowTitle(QStringLiteral("velta-line - ") + line +
                   (text.isEmpty() ? tr("%1 devices").arg(rows) : text));
}
