#pragma once

#include "flash_session.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class DeviceLink;

// A device's standing, as the progress line and the summary show it.
struct DeviceProgress {
    QString label;
    FlashPass pass = FlashPass::BootInfo;
    FlashResult result = FlashResult::Running;
    int line = 0;
    int lineCount = 0;
    int acknowledged = 0;
    qint64 elapsedUs = 0;
    QString message;
};

[[nodiscard]] DeviceProgress progressOf(const DeviceLink& link);

// "ok", "device error", "timeout", "network error" ("running" while running).
[[nodiscard]] QString resultName(FlashResult result);
// The exit code for the devices' results: 0 when all succeeded, else the smallest failure code.
[[nodiscard]] int exitCodeFor(const QList<FlashResult>& results);
// Lines answered per second; 0 before a millisecond has passed.
[[nodiscard]] double linesPerSecond(const DeviceProgress& p);
// The live line: host, pass, line n of N, lines per second, time left; at most `width` characters.
[[nodiscard]] QString progressLine(const DeviceProgress& p, int labelWidth, int width);
// The table printed at the end: HOST, RESULT, LINES (answered of both passes), TIME, RATE.
[[nodiscard]] QString summaryTable(const QList<DeviceProgress>& devices);

// Shows the devices' progress on stderr: live lines redrawn at most ten times a second on a
// terminal, a plain line per phase otherwise, or nothing but errors.
class ProgressView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Plain, Quiet };

    ProgressView(Mode mode, QList<DeviceLink*> links, QObject* parent = nullptr);

    void begin();
    // The last redraw, and the error messages held back while the live lines were on screen.
    void end();

private:
    void onPassChanged(DeviceLink* link);
    void onFinished(DeviceLink* link);
    void paint();
    void print(const QString& text);

    Mode m_mode;
    QList<DeviceLink*> m_links;
    QTimer m_repaint;
    int m_labelWidth = 0;
    int m_width = 80;
    bool m_painted = false;
};
