#pragma once

#include "line/runner.h"
#include "store/serial_pool.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// A device's standing, as the progress lines and the summary show it.
struct DeviceProgress {
    QString label;
    QString address; // the IP address used; empty when it could not be looked up
    FlashPass pass = FlashPass::BootInfo;
    FlashResult result = FlashResult::Running; // Running also while it waits for its turn
    bool waiting = false;
    bool skipped = false;
    int line = 0;
    int lineCount = 0;
    int acknowledged = 0;
    int linesToAnswer = 0;
    qint64 elapsedUs = 0;
    int resends = 0;
    QString outcome; // resultKey()
    QString message;
    QString bootInfo;
    FlashWait wait{};    // what the conversation waits for now
    qint64 waitedUs = 0; // ... for so long
};

[[nodiscard]] DeviceProgress progressOf(const DeviceJob& job);

// "ok", "skipped", "device error", "verify mismatch", "timeout"... as resultKey() with blanks.
[[nodiscard]] QString resultName(const DeviceProgress& p);
// Lines answered per second; 0 before a millisecond has passed.
[[nodiscard]] double linesPerSecond(const DeviceProgress& p);
// What a device waits for when it is worth saying: the boot information or the first record (the
// device may be erasing) from the start, any other line once it has waited a second; else empty.
[[nodiscard]] QString waitText(const DeviceProgress& p);
// The live line: host, pass, line n of N, lines per second, time left; at most `width` characters.
[[nodiscard]] QString progressLine(const DeviceProgress& p, int labelWidth, int width);
// The table printed at the end: TARGET as written, the ADDRESS used, RESULT, LINES (answered of
// those to answer), TIME, RATE, and the device's answer to the boot-information request, its
// control characters escaped.
[[nodiscard]] QString summaryTable(const QList<DeviceProgress>& devices);
// An inventory's table: TARGET, ADDRESS, DEVICE (its address behind the gateway, or direct) and
// BOOT INFO of each device that answered, then the count of those that answered and of those that
// stayed silent ("9 answered, 87 silent"), and of those not asked when it was interrupted; with
// `listSilent`, the silent addresses as targets, ranges joined ("127.0.0.1:5111/0-15").
[[nodiscard]] QString inventoryTable(const QList<const DeviceJob*>& jobs, bool listSilent);
// The hosts behind which no address answered though all were asked in the gateway's form, for
// the hint that a device without a gateway needs --direct: "127.0.0.1:5111 (/0-31)".
[[nodiscard]] QStringList silentGateways(const QList<const DeviceJob*>& jobs);
// A serial pool's values: VALUE, STATE, DEVICE (the key it was issued to), TIME (when it was
// settled, or issued), RUN ID; then how many are in each state.
[[nodiscard]] QString serialTable(const QList<SerialEntry>& entries);
// --find: the history's device records (JSON, as the report wrote them), one row each, oldest first.
[[nodiscard]] QString historyTable(const QList<QByteArray>& records);
// The line under the table: "9 ok, 1 skipped, 2 failed: 1 timeout, 1 verify-mismatch".
[[nodiscard]] QString totalsLine(const QList<DeviceProgress>& devices);

// An inventory's progress on stderr: a host's addresses are asked one after another, so one line a
// host ("127.0.0.1:5111  12 of 32 asked, 3 answered"), live on a terminal; in a log a time-stamped
// line at each tenth of a host's addresses, at least every 30 s, and when it is done.
class ScanView : public QObject {
    Q_OBJECT
public:
    ScanView(bool live, QList<DeviceJob*> jobs, Runner* runner, QObject* parent = nullptr);
    void begin();
    void end();

private:
    struct Host {
        QString label;
        QList<DeviceJob*> jobs;
        int tenths = 0;
        qint64 reportedAt = 0;
    };
    [[nodiscard]] static QString hostLine(const Host& host);
    void onFinished(DeviceJob* job);
    void paint();

    bool m_live;
    QList<Host> m_hosts;
    QTimer m_repaint;
    bool m_painted = false;
};

// Shows the devices' progress on stderr: live lines redrawn ten times a second on a terminal;
// otherwise (a log, a CI job) time-stamped lines, one per device at each phase and at least every
// tenth of its work or every 30 s. Errors always show; with None and Quiet nothing else does.
class ProgressView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Lines, None, Quiet };

    ProgressView(Mode mode, QList<DeviceJob*> jobs, Runner* runner, QObject* parent = nullptr);
    // Shows the devices that ended before they could begin (a name that could not be looked up).
    void begin();
    // The last redraw, and the error messages held back while the live lines were on screen.
    void end();

private:
    void onStarted(DeviceJob* job);
    void onPassChanged(DeviceJob* job);
    void onFinished(DeviceJob* job);
    void paint();
    void print(const QString& text);

    Mode m_mode;
    QList<DeviceJob*> m_jobs;
    QList<int> m_tenths;        // per device, the last tenth of its work reported
    QList<qint64> m_reportedAt; // per device, when its last line was written (ms since the epoch)
    QList<Micros> m_waitShown;  // per device, the send whose long wait a line has shown
    QTimer m_repaint;
    int m_labelWidth = 0;
    int m_width = 80;
    bool m_painted = false;
};
