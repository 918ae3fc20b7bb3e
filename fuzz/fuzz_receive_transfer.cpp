// The receive path, the reply dispatcher and the transfer step of the real window, fed with
// arbitrary replies, loads and cancels. Every datagram the window sends is caught on loopback
// and checked: it must be a line of the last completed load, in the form of the current pass,
// numbered as the bar says; and the state fields must stay within their ranges.
#include "app/up_config.h"
#include "core/transfer/hex_loader.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
QApplication* app = nullptr;
QTemporaryDir* scratch = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Input {
    const uint8_t* p;
    size_t n;
    bool empty() const { return n == 0; }
    uint8_t byte() {
        if (!n)
            return 0;
        --n;
        return *p++;
    }
    QByteArray bytes(size_t len) {
        len = std::min(len, n);
        QByteArray b(reinterpret_cast<const char*>(p), qsizetype(len));
        p += len;
        n -= len;
        return b;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(*argc, *argv);
    scratch = new QTemporaryDir;
    QDir::setCurrent(scratch->path()); // the address book is looked for here: there is none
    return 0;
}

namespace {
struct Rig {
    std::optional<QString> nextFile;
    QUdpSocket sink;
    std::unique_ptr<UP_config> w;

    Rig() {
        PlatformServices services;
        services.openFile = [this](QWidget*, const QString&) { return nextFile; };
        services.messageBox = [](QWidget*, const QString&, const QString&, MessageIcon) {};
        services.launchDetached = [](const QString&, const QStringList&) {};
        services.sleep = [](int) {};
        if (!sink.bind(QHostAddress(QHostAddress::LocalHost), 0))
            fail("cannot bind the sink");
        w = std::make_unique<UP_config>(services);
        w->findChild<QComboBox*>(QStringLiteral("ComboRemoteIP"))->setEditText(QStringLiteral("127.0.0.1"));
        w->findChild<QCheckBox*>(QStringLiteral("Check1"))->setChecked(false);
        w->findChild<QLineEdit*>(QStringLiteral("tbRemotePort"))->setText(QString::number(sink.localPort()));
        w->findChild<QLineEdit*>(QStringLiteral("tbLocalPort"))->setText(QStringLiteral("0"));
        w->connectOrDisconnect();
        if (!w->isConnected())
            fail("cannot connect");
    }
    QList<QByteArray> drainSent() {
        QList<QByteArray> sent;
        while (sink.hasPendingDatagrams()) {
            QByteArray d(qMax<qint64>(sink.pendingDatagramSize(), 0), '\0');
            d.resize(qMax<qint64>(sink.readDatagram(d.data(), d.size()), 0));
            sent << d;
        }
        return sent;
    }
    void load(const QString& path, const QByteArray& content) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            fail("cannot write the HEX file");
        f.write(content);
        f.close();
        nextFile = path;
        w->openAndDownload();
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One window for the whole run (building one per input would cost most of the time);
    // every input starts from the same transfer state: an empty load disarms it and empties it.
    static Rig rig;
    UP_config& w = *rig.w;
    Input in{data, size};
    const QString hexPath = scratch->filePath(QStringLiteral("fw.hex"));
    rig.load(hexPath, QByteArray());
    rig.drainSent();
    LineStore loaded; // the lines of the last completed load

    for (int ops = 0; ops < 64 && !in.empty(); ++ops) {
        const uint8_t op = in.byte() % 8;
        if (op == 0) {
            const QByteArray content = in.bytes(in.byte() * 4u);
            rig.load(hexPath, content);
            FieldReader reader(content);
            if (const auto lines = readHexLines(reader, TransferState::MaxLines))
                loaded = *lines;
        } else if (op == 1) {
            rig.nextFile.reset();
            w.openAndDownload();
        } else if (op == 2) {
            w.watchdogTick();
        } else {
            // A reply: mostly keyword soup, so the rules are reached often.
            static const char* const words[] = {"OK", "ERROR", "DOWNLOAD", "VER=", "ok", " ", "\r\n", "\0"};
            QByteArray reply;
            const int parts = in.byte() % 5;
            for (int i = 0; i < parts; ++i) {
                const uint8_t k = in.byte();
                if (k < 200)
                    reply += words[k % 8];
                else
                    reply += in.bytes(k - 199);
            }
            w.udpSocket().deliver(reply);
        }

        const WindowConversation& t = w.conversation();
        if (t.lineCount() < 0 || t.lineCount() > TransferState::MaxLines || t.lineCount() != loaded.count())
            fail("lineCount");
        if (t.linePos() < 0 || t.linePos() > t.lineCount())
            fail("linePos");
        if (t.armed() && t.linePos() >= t.lineCount())
            fail("armed past the last line");
        if (w.linkSilence() < 0 || w.linkSilence() > 51)
            fail("linkSilence");

        const QList<QByteArray> sent = rig.drainSent();
        if (sent.size() > 1)
            fail("more than one datagram for one event");
        if (sent.size() == 1) {
            const int n = w.bar()->value();
            if (n < 1 || n > loaded.count())
                fail("a line number outside the load");
            const QByteArrayView line = loaded.line(n);
            QByteArray form = line.toByteArray();
            if (t.verifying())
                form.replace(':', '#');
            if (sent.first() != "OOT" + form + "\r\n")
                fail("a line the last completed load did not read");
        }
    }
    return 0;
}
