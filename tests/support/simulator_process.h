#pragma once

// velta-devsim as a child process on a loopback address, at a port of the system's choosing, for
// the tests and the benchmarks. It dies with the process that started it, so a test killed by its
// time-out leaves no simulator behind.

#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

class SimulatorProcess {
public:
    // `cpu` >= 0 pins it to that core (benchmarks give the device a core of its own).
    explicit SimulatorProcess(const QString& program, const QStringList& extra = {},
                              const QString& bind = QStringLiteral("127.0.0.1"), int cpu = -1) {
        QStringList args = QStringList{"--bind", bind, "--port", "0"} + extra;
        if (cpu >= 0)
            args = QStringList{"-c", QString::number(cpu), program} + args;
        m_process.setProgram(cpu >= 0 ? QStringLiteral("taskset") : program);
        m_process.setArguments(args);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start();
        for (int i = 0; i < 50 && !m_process.canReadLine() && m_process.state() != QProcess::NotRunning; ++i)
            m_process.waitForReadyRead(100);
        m_endpoint = QRegularExpression(QStringLiteral("listening on (.*:\\d+)\\n$"))
                         .match(QString::fromLatin1(m_process.readLine()))
                         .captured(1);
    }
    ~SimulatorProcess() {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    // 0: it is not listening
    [[nodiscard]] quint16 port() const { return quint16(m_endpoint.section(QLatin1Char(':'), -1).toUInt()); }
    [[nodiscard]] QString endpoint() const { return m_endpoint; }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QString m_endpoint;
};
