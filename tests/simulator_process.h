#pragma once

// velta-devsim as a child process on 127.0.0.1, at a port of the system's choosing.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class Simulator {
public:
    explicit Simulator(const QString& imageOut, const QStringList& extra = {}) {
        m_process.setProgram(QStringLiteral(VELTA_DEVSIM));
        m_process.setArguments(QStringList{"--bind", "127.0.0.1", "--port", "0", "--image-out", imageOut} +
                               extra);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        for (int i = 0; i < 50 && !m_process.canReadLine(); ++i)
            m_process.waitForReadyRead(100);
        const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        const auto m = re.match(QString::fromLatin1(m_process.readLine()));
        if (m.hasMatch())
            m_port = quint16(m.captured(1).toUInt());
    }
    ~Simulator() {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
    [[nodiscard]] quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};
