#pragma once

#include "line/device_link.h"
#include "store/serial_source.h"

#include <QDateTime>
#include <QList>
#include <QObject>

#include <memory>

// One device of a run and what became of it.
struct DeviceJob {
    enum class Outcome { Waiting, Running, Finished };

    DeviceTarget target;
    QString host;                      // as named, for the report
    QString written;                   // the target as written
    QString origin;                    // where it was written: a --hosts file's line, or empty
    std::optional<int> gatewayAddress; // nothing: direct
    Outcome outcome = Outcome::Waiting;
    FlashResult result = FlashResult::Running;
    DeviceRefusal refusal = DeviceRefusal::None;
    bool skipped = false;   // the check found the image there: nothing downloaded
    bool startSent = false; // the start command went out
    QString message, bootInfo;
    QString phase; // where it ended: boot-info, check, download, verify, done; empty: never began
    quint16 localPort = 0;
    int acknowledged = 0, linesToAnswer = 0, resends = 0, lateReplies = 0, passes = 0;
    qint64 elapsedUs = 0;
    QDateTime startUtc, endUtc;
    std::unique_ptr<DeviceLink> link; // the session under way
    // Serialization: the value this device was given, the image with it in the file's place and
    // that image's SHA-256 (empty image: the file itself), and why it was not started (set by
    // whoever answers Runner::jobStarting).
    std::optional<SerialValue> serial;
    LineStore image;
    QString imageSha256;
    QString notStarted;
};

// The device however its target was written ("127.0.0.22", "127.0.0.22:111/16"): its address,
// port and, behind a gateway, its device address; empty when the name could not be looked up.
[[nodiscard]] QString deviceKeyOf(const DeviceJob& job);

// "ok", "skipped", "device-error", "verify-mismatch", "version-mismatch", "timeout",
// "network-error", "interrupted"; "running" before the end.
[[nodiscard]] QString resultKey(const DeviceJob& job);
// Whether the job ended as a line's tooling counts a success: "ok" or "skipped".
[[nodiscard]] bool succeeded(const DeviceJob& job);

// Two jobs that name one device: the same address and port, and the same device behind it.
[[nodiscard]] bool sameDevice(const DeviceJob& a, const DeviceJob& b);
// Two jobs behind one gateway (same address and port, not direct): they share its serial line.
[[nodiscard]] bool sameGateway(const DeviceJob& a, const DeviceJob& b);

struct RunSettings {
    FlashSettings session;
    std::optional<quint16> localPort;
    int jobs = 0; // gateways and direct devices at once; 0: all
    bool skipVerified = false;
    bool start = false;
};

// How much of a device's boot information a record keeps.
constexpr qsizetype RecordedBootInfo = 512;

// Runs the devices: those behind one gateway (same address and port, not direct) one after
// another, since its serial line carries one conversation at a time; gateways and direct devices
// side by side, at most `jobs` at once. Each session has a socket of its own.
class Runner : public QObject {
    Q_OBJECT
public:
    Runner(QList<DeviceJob*> jobs, const LineStore& lines, RunSettings settings, Transcript* transcript,
           QObject* parent = nullptr);

    void start();
    // Stops sending: sessions under way and devices not begun end as interrupted.
    void interrupt();

signals:
    // Before the device's first datagram: a receiver may give it an image of its own, or a reason
    // (notStarted) not to begin at all.
    void jobStarting(DeviceJob* job);
    void jobStarted(DeviceJob* job);
    void passChanged(DeviceJob* job);
    void jobFinished(DeviceJob* job);
    void allFinished();

private:
    void startNextGroups();
    void startJob(DeviceJob* job);
    void startSession(DeviceJob* job, bool check, quint16 localPort);
    void sessionEnded(DeviceJob* job, bool check);
    void finishJob(DeviceJob* job);
    [[nodiscard]] quint16 localPortFor(const DeviceJob* job, bool afterCheck) const;
    [[nodiscard]] bool stopping() const;

    QList<DeviceJob*> m_jobs;
    QList<QList<DeviceJob*>> m_groups; // each runs one device after another
    qsizetype m_nextGroup = 0;
    int m_running = 0;
    int m_unfinished = 0;
    bool m_interrupted = false;
    LineStore m_lines;
    RunSettings m_settings;
    Transcript* m_transcript;
};
