// Several stations on one store: velta-flash processes at once on one serial pool and one history,
// on a PostgreSQL server of the test's own (and the history on an SQLite file), a station killed
// mid-run, the server stopped under a run and started again, a store that cannot be reached.
#include "pg_server.h"
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "table.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

// clang-format off
// Command lines about the stores that are refused before anything is done: the exit code and the
// message's start.
const struct RefusalRow { const char *name, *args; int code; const char* says; } RefusalRows[] = {
    {"--find without a history", "--find 1000", 2, "--find VALUE asks the --history"},
    {"--find with a file to load", "--history @h.db --find 1000 fw.hex", 2, "--find VALUE asks the --history"},
    {"--find to a report file", "--history @h.db --find 1000 --report @r", 2, "--find writes its records to standard output only"},
    {"a URL that does not parse", "--history postgresql://[::1 fw.hex 127.0.0.1", 2, "postgresql://[::1 is not a PostgreSQL URL"},
    {"a URL with a key that is no keyword", "--history postgresql:///db?Host=x fw.hex 127.0.0.1", 2, "postgresql:///db?Host=x is not a PostgreSQL URL: 'Host' is no connection keyword"},
    {"a pool URL that does not parse", "--serial-db postgresql://[::1 --serial-start 1 --serial-at 0 --serial-size 1 --serial-format be fw.hex 127.0.0.1", 2, "postgresql://[::1 is not a PostgreSQL URL"},
    {"a station with a line feed", "--station a\nb fw.hex 127.0.0.1", 2, "--station needs a name of 1 to 64 characters"},
    {"an empty station", "--station= fw.hex 127.0.0.1", 2, "--station needs a name"},
    {"--find in a file that is not there", "--history @none.db --find 1000", 2, "no history at @none.db"},
    {"the history where the report goes", "--history @r --report @r fw.hex 127.0.0.1", 2, "--report @r is the file of --history @r"}};
// clang-format on

struct Station {
    int exitCode = -1;
    QString out, err;
};

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestStations : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<PgServer> m_pg;

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString write(const QByteArray& bytes, const QString& name) const {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? path(name) : QString();
    }
    static QByteArray read(const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // velta-flash as a station of its own: its spool in the test's folder, never the user's.
    void prepare(QProcess& p, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", path("state"));
        p.setProcessEnvironment(env);
        p.setProgram(VELTA_FLASH);
        // Ports of the system's choosing: the flasher's own range is another test's to fill.
        p.setArguments(args.contains("--find") || args.contains("--serials")
                           ? args
                           : QStringList{"--local-port", "0"} + args);
        p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    Station flash(const QStringList& args, int waitMs = 120000) const {
        QProcess p;
        prepare(p, args);
        p.start();
        if (!p.waitForFinished(waitMs))
            p.kill(), p.waitForFinished(3000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
                QString::fromLocal8Bit(p.readAllStandardOutput()),
                QString::fromLocal8Bit(p.readAllStandardError())};
    }
    // What the history holds for `what`, as records.
    QList<QJsonObject> find(const QString& history, const QString& what) const {
        QList<QJsonObject> records;
        for (const QByteArray& line :
             flash({"--history", history, "--find", what, "--report", "-"}).out.toUtf8().split('\n'))
            if (!line.isEmpty())
                records << QJsonDocument::fromJson(line).object();
        return records;
    }
    // The pool's values as "value:state" by value.
    QMap<QString, QString> pool(const QString& db) const {
        QMap<QString, QString> values;
        for (const QByteArray& line :
             flash({"--serials", "--serial-db", db, "--report", "-"}).out.toUtf8().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (!o.isEmpty())
                values[o["serial"].toString()] = o["state"].toString();
        }
        return values;
    }
    // A gateway with `count` devices at addresses 1..count, and its hosts file.
    std::pair<std::unique_ptr<SimulatorProcess>, QString> gateway(int count, const QString& name,
                                                                  const QStringList& extra = {}) const {
        QStringList addresses;
        for (int a = 1; a <= count; ++a)
            addresses << QString::number(a);
        auto sim = std::make_unique<SimulatorProcess>(VELTA_DEVSIM,
                                                      QStringList{"--address", addresses.join(',')} + extra);
        QByteArray hosts;
        for (int a = 1; a <= count; ++a)
            hosts += (sim->endpoint() + "/" + QString::number(a) + "\n").toUtf8();
        return {std::move(sim), write(hosts, name)};
    }
    static QStringList serial(const QString& db) {
        return {"--serial-db",   db,  "--serial-start",  "1000", "--serial-at", "0x7FF0",
                "--serial-size", "4", "--serial-format", "be"};
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_pg = std::make_unique<PgServer>();
        QVERIFY2(m_pg->error().isEmpty(), qPrintable(m_pg->error()));
        QVERIFY(!write(syntheticHexFile(12), "fw.hex").isEmpty());
    }
    void cleanupTestCase() { m_pg.reset(); }

    void refusals_data() { addRows(RefusalRows); }
    void refusals() {
        const RefusalRow& row = RefusalRows[fetchRow()];
        QStringList args = QString(row.args).split(' ');
        args.replaceInStrings("fw.hex", path("fw.hex"));
        args.replaceInStrings("@", m_dir.path() + '/');
        const Station s = flash(args);
        QCOMPARE(s.exitCode, row.code);
        QVERIFY2(s.err.contains(QString(row.says).replace("@", m_dir.path() + '/')), qPrintable(s.err));
    }

    // Four stations at once, fifty devices each, on one pool and one history: two hundred values,
    // none twice, each where its device keeps it; the history finds a serial, a device, a firmware.
    void fourStations() {
        const QString db = m_pg->newDatabase();
        std::vector<std::pair<std::unique_ptr<SimulatorProcess>, QString>> lines;
        std::vector<std::unique_ptr<QProcess>> stations;
        for (int s = 0; s < 4; ++s) {
            lines.push_back(gateway(50, QStringLiteral("line%1.hosts").arg(s)));
            QVERIFY(lines.back().first->port() != 0);
            stations.push_back(std::make_unique<QProcess>());
            prepare(*stations.back(),
                    serial(db) + QStringList{"--history", db, "--station", QStringLiteral("st%1").arg(s),
                                             "--quiet", "--hosts", lines.back().second, "--report",
                                             path(QStringLiteral("r%1.jsonl").arg(s)), path("fw.hex")});
            stations.back()->start();
        }
        QStringList values;
        for (auto& p : stations) {
            QVERIFY(p->waitForFinished(180000));
            QCOMPARE(joined(p->exitCode(), QString::fromLocal8Bit(p->readAllStandardError())), QString("0 "));
        }
        QMap<QString, QString> stationOf; // serial: station
        for (int s = 0; s < 4; ++s) {
            for (const QByteArray& line : read(path(QStringLiteral("r%1.jsonl").arg(s))).split('\n')) {
                const QJsonObject r = QJsonDocument::fromJson(line).object();
                if (r["type"] == "device") {
                    QCOMPARE(r["result"].toString(), "ok");
                    values << r["serial"].toString();
                    stationOf[r["serial"].toString()] = r["station"].toString();
                }
            }
        }
        QCOMPARE(values.size(), 200);
        QCOMPARE(QSet<QString>(values.cbegin(), values.cend()).size(), 200);
        const auto held = pool(db);
        QCOMPARE(held.size(), 200);
        QCOMPARE(QStringList(held.values()).count("programmed"), 200);
        // The history: one record for a serial, naming its station; one for a device; every one of
        // the firmware, as its report wrote it.
        const QList<QJsonObject> bySerial = find(db, values[77]);
        QCOMPARE(bySerial.size(), 1);
        QCOMPARE(bySerial[0]["station"].toString(), stationOf[values[77]]);
        const QString device = bySerial[0]["device_key"].toString();
        QCOMPARE(find(db, device).size(), 1);
        QCOMPARE(find(db, bySerial[0]["target"].toString()).size(), 1);
        QCOMPARE(find(db, sha256Of(read(path("fw.hex"))).toUpper()).size(), 200);
        QCOMPARE(find(db, bySerial[0]["image_sha256"].toString()).size(), 1);
        const Station none = flash({"--history", db, "--find", "no such thing"});
        QCOMPARE(joined(none.exitCode, none.out.endsWith("\n0 records\n")), QString("1 1"));
    }

    // A station killed mid-run: the values it issued are void once another station starts, and
    // none is handed out again.
    void killedStation() {
        const QString db = m_pg->newDatabase();
        auto [slow, slowHosts] = gateway(20, "slow.hosts", {"--record-us", "20000"});
        QProcess victim;
        prepare(victim, serial(db) + QStringList{"--quiet", "--hosts", slowHosts, path("fw.hex")});
        victim.start();
        QVERIFY(victim.waitForStarted());
        // Until a device is under way with its value issued.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QStringList(pool(db).values()).contains("issued") ||
                       victim.state() == QProcess::NotRunning;
            },
            60000));
        QCOMPARE(victim.state(), QProcess::Running);
        victim.kill();
        QVERIFY(victim.waitForFinished(10000));
        const auto killed = pool(db);
        const QStringList issued = killed.keys(QStringLiteral("issued"));
        QCOMPARE(issued.size(), 1); // one device at a time behind a gateway
        auto [next, nextHosts] = gateway(3, "next.hosts");
        const Station s = flash(serial(db) + QStringList{"--quiet", "--hosts", nextHosts, path("fw.hex")});
        QCOMPARE(s.exitCode, 0);
        const auto after = pool(db);
        QCOMPARE(after.value(issued[0]), "void");
        QCOMPARE(QStringList(after.values()).count("issued"), 0);
        QCOMPARE(QStringList(after.values()).count("programmed"), killed.keys("programmed").size() + 3);
        QCOMPARE(after.size(), killed.size() + 3); // three new values: none handed out again
    }

    // The server stopped under a run: the devices under way finish, none starts after, and once
    // the server is back every record is in the history once, every value settled as it ended.
    void serverGoesAway() {
        const QString db = m_pg->newDatabase();
        auto [line, hosts] = gateway(8, "away.hosts", {"--record-us", "15000"});
        QProcess station;
        prepare(station, serial(db) + QStringList{"--history", db, "--quiet", "--hosts", hosts, "--report",
                                                  path("away.jsonl"), path("fw.hex")});
        station.start();
        // Until one device is done (its record written) and the next under way.
        QVERIFY(QTest::qWaitFor([&] { return read(path("away.jsonl")).count("\"type\":\"device\"") >= 1; },
                                60000));
        QCOMPARE(m_pg->stop(), QString());
        QVERIFY(station.waitForFinished(120000));
        const QString said = QString::fromLocal8Bit(station.readAllStandardError());
        QVERIFY2(said.contains("the store does not answer"), qPrintable(said));
        QCOMPARE(m_pg->start(), QString());
        QList<QJsonObject> reported;
        QString runId;
        for (const QByteArray& l : read(path("away.jsonl")).split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(l).object();
            if (r["type"] == "device")
                reported << r;
            if (!r.isEmpty())
                runId = r["run_id"].toString();
        }
        QCOMPARE(reported.size(), 8);
        const auto ok = std::count_if(reported.cbegin(), reported.cend(),
                                      [](const QJsonObject& r) { return r["result"] == "ok"; });
        QVERIFY2(ok >= 1 && ok < 8, qPrintable(QString::number(ok)));
        // The next station delivers the spool first: asking the history is such a run.
        const QList<QJsonObject> held = find(db, sha256Of(read(path("fw.hex"))));
        QStringList keys;
        for (const QJsonObject& r : held)
            if (r["run_id"] == runId)
                keys << r["device_key"].toString();
        QCOMPARE(keys.size(), 8);
        QCOMPARE(QSet<QString>(keys.cbegin(), keys.cend()).size(), 8);
        QCOMPARE(find(db, sha256Of(read(path("fw.hex")))).size(), held.size()); // delivered once
        // Each value as its device ended: programmed where "ok", void where it failed after it
        // went out; the values of devices never started were never issued.
        auto [again, againHosts] = gateway(1, "again.hosts");
        QCOMPARE(flash(serial(db) + QStringList{"--quiet", "--hosts", againHosts, path("fw.hex")}).exitCode,
                 0);
        const auto values = pool(db);
        for (const QJsonObject& r : reported) {
            const QString v = r["serial"].toString();
            if (!v.isEmpty())
                QCOMPARE(v + ' ' + values.value(v), v + (r["result"] == "ok" ? " programmed" : " void"));
        }
        QCOMPARE(QStringList(values.values()).count("issued"), 0);
    }

    // A store that cannot be reached at the start: exit 5, and not one datagram sent.
    void unreachable() {
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress::LocalHost, 0));
        const QString target = "127.0.0.1:" + QString::number(device.localPort());
        QDir().mkpath(path("nothing"));
        const QString nowhere = "postgresql:///velta?host=" + path("nothing");
        for (const QStringList& store : {QStringList{"--history", nowhere}, serial(nowhere)}) {
            const Station s = flash(store + QStringList{"--direct", path("fw.hex"), target});
            QCOMPARE(s.exitCode, 5);
            QVERIFY2(s.err.contains("velta-flash: ") && s.err.contains(path("nothing")), qPrintable(s.err));
            QVERIFY(!device.hasPendingDatagrams());
        }
        const Station find = flash({"--history", nowhere, "--find", "1000"});
        QCOMPARE(find.exitCode, 5);
    }

    // One station's history in an SQLite file, the pool in the same file.
    void historyInAFile() {
        auto [line, hosts] = gateway(3, "file.hosts");
        const QString store = path("station.db");
        const Station s = flash(serial(store) + QStringList{"--history", store, "--station", "bench 3",
                                                            "--quiet", "--hosts", hosts, path("fw.hex")});
        QCOMPARE(joined(s.exitCode, s.err), QString("0 "));
        const QList<QJsonObject> all = find(store, sha256Of(read(path("fw.hex"))));
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[0]["station"].toString(), "bench 3");
        QCOMPARE(find(store, "1001").size(), 1);
        QCOMPARE(pool(store).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestStations)
#include "test_stations.moc"
