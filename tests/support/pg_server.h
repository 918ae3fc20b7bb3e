#pragma once

// A PostgreSQL server of the test's own: initdb and pg_ctl in a temporary folder, listening on a
// Unix socket there only (no TCP port), trusting its one user, run as an unprivileged user (the
// "postgres" account Debian's package makes, or "nobody") when the test runs as root. It is
// stopped, and its folder removed, when the object goes; no other server is ever touched.

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

class PgServer {
public:
    // `durable`: syncs its writes as a real server does (benchmarks); tests need not.
    explicit PgServer(bool durable = false) {
        m_bin = binFolder();
        if (m_bin.isEmpty()) {
            m_error = QStringLiteral("no PostgreSQL server programs (Debian: postgresql-15)");
            return;
        }
        // /tmp rather than the build folder: the server's user must reach its folder, and a
        // socket's path is limited to about 100 bytes.
        m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/velta-pg-XXXXXX"));
        if (!m_dir->isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        if (::geteuid() == 0) {
            const struct passwd* user = ::getpwnam("postgres");
            if (!user)
                user = ::getpwnam("nobody");
            if (!user) {
                m_error = QStringLiteral("no unprivileged user to run the server as");
                return;
            }
            m_runAs = QString::fromLocal8Bit(user->pw_name);
            if (::chown(QFile::encodeName(m_dir->path()).constData(), user->pw_uid, user->pw_gid) != 0) {
                m_error = QStringLiteral("cannot give the folder to %1").arg(m_runAs);
                return;
            }
        }
        const QString log = run(QStringLiteral("initdb"), {"-D", data(), "-A", "trust", "-U", "velta",
                                                           "--no-sync", "-E", "UTF8", "--locale", "C"});
        if (!log.isEmpty()) {
            m_error = QStringLiteral("initdb: ") + log;
            return;
        }
        // Small and quick: no TCP, and no fsync where the data need not survive the machine.
        QFile conf(data() + QStringLiteral("/postgresql.conf"));
        if (!conf.open(QIODevice::Append) ||
            conf.write(QStringLiteral("listen_addresses = ''\nunix_socket_directories = '%1'\nfsync = %2\n"
                                      "max_connections = 60\nshared_buffers = 16MB\n")
                           .arg(m_dir->path(), durable ? QStringLiteral("on") : QStringLiteral("off"))
                           .toUtf8()) < 0) {
            m_error = QStringLiteral("cannot write postgresql.conf");
            return;
        }
        conf.close();
        m_error = start();
        if (m_error.isEmpty())
            watchOver();
    }
    ~PgServer() {
        if (m_running)
            (void)stop();
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Empty when the server runs; else why it does not.
    [[nodiscard]] const QString& error() const { return m_error; }

    // Starts and stops it (a server going away mid-run); what pg_ctl said where it failed.
    QString start() {
        const QString failed =
            run(QStringLiteral("pg_ctl"),
                {"-D", data(), "-l", m_dir->path() + "/server.log", "-w", "-t", "60", "start"});
        m_running = failed.isEmpty();
        return failed;
    }
    QString stop() {
        const QString failed =
            run(QStringLiteral("pg_ctl"), {"-D", data(), "-m", "fast", "-w", "-t", "60", "stop"});
        m_running = !failed.isEmpty();
        return failed;
    }

    // The URL of a database of its own for one test (made here), as the programs take it.
    [[nodiscard]] QString newDatabase() {
        const QString name = QStringLiteral("t%1").arg(++m_databases);
        {
            QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg-server-admin"));
            db.setConnectOptions(QStringLiteral("host=%1").arg(m_dir->path()));
            db.setUserName(QStringLiteral("velta"));
            db.setDatabaseName(QStringLiteral("postgres"));
            if (!db.open() || !QSqlQuery(db).exec(QStringLiteral("CREATE DATABASE ") + name))
                m_error = QStringLiteral("CREATE DATABASE: ") + db.lastError().text();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pg-server-admin"));
        return urlOf(name);
    }
    [[nodiscard]] QString urlOf(const QString& database) const {
        return QStringLiteral("postgresql:///%1?host=%2&user=velta").arg(database, m_dir->path());
    }
    [[nodiscard]] QString folder() const { return m_dir ? m_dir->path() : QString(); }

private:
    static QString binFolder() {
        const QDir versions(QStringLiteral("/usr/lib/postgresql"));
        for (const QString& version :
             versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed)) {
            const QString bin = versions.filePath(version + QStringLiteral("/bin"));
            if (QFile::exists(bin + QStringLiteral("/initdb")) &&
                QFile::exists(bin + QStringLiteral("/pg_ctl")))
                return bin;
        }
        const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        return initdb.isEmpty() ? QString() : QFileInfo(initdb).path();
    }
    [[nodiscard]] QString data() const { return m_dir->path() + QStringLiteral("/data"); }

    // A test killed outright (its time-out, a crash) runs no destructor, and the server would
    // outlive it: a watcher of its own stops it and removes its folder once this process is gone.
    void watchOver() const {
        const QString stop = m_runAs.isEmpty() ? QString() : QStringLiteral("runuser -u %1 -- ").arg(m_runAs);
        const QString script =
            QStringLiteral(
                "while kill -0 %1 2>/dev/null; do sleep 1; done; "
                "[ -f '%2/postmaster.pid' ] && %3'%4/pg_ctl' -D '%2' -m immediate stop >/dev/null 2>&1; "
                "rm -rf '%5'")
                .arg(QCoreApplication::applicationPid())
                .arg(data(), stop, m_bin, m_dir->path());
        QProcess::startDetached(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    }

    // A server program, as the server's user where the test runs as root; empty when it worked.
    QString run(const QString& program, const QStringList& args) const {
        QProcess p;
        const QString path = m_bin + QLatin1Char('/') + program;
        if (m_runAs.isEmpty())
            p.start(path, args);
        else
            p.start(QStringLiteral("runuser"), QStringList{"-u", m_runAs, "--", path} + args);
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished(3000);
            return program + QStringLiteral(" did not end");
        }
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0
                   ? QString()
                   : QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput()).trimmed();
    }

    QString m_bin, m_runAs, m_error;
    std::unique_ptr<QTemporaryDir> m_dir;
    bool m_running = false;
    int m_databases = 0;
};
