// The flasher's conversation, two ways.
//  - Scripted: arbitrary replies, wake-ups and passing time. It may only send the road's
//    datagrams in order (a line again, or the verify pass again), and may end "ok" only after
//    every line of its passes was answered and no ERROR came.
//  - Against the device model over a faulty line: losses either way, replies twice, delays that
//    reorder datagrams within the horizon, a device that errs or holds another image. "ok" only
//    when the device holds the file, no ERROR reached the flasher, and every answer it took was
//    the device's answer to that very line, never a late or duplicated one.
#include "in_process_line.h"
#include "synthetic_hex.h"

#include "core/protocol/intel_hex.h"

#include <QByteArrayList>

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Takes the input's bytes one at a time; zeros once they are used up.
struct Bytes {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
};

void scripted(Bytes in) {
    const int lines = 1 + in.next() % 6;
    const uint8_t setup = in.next();
    const bool gateway = setup & 1;
    LineStore file;
    for (int i = 1; i <= lines; ++i)
        file.append(":L" + QByteArray::number(i));
    FlasherConversation session(file, {.gateway = gateway,
                                       .gatewayAddress = QStringLiteral("7"),
                                       .retries = setup >> 5,
                                       .timeoutMs = 1000,
                                       .firstTimeoutMs = 1000,
                                       .verifyOnly = (setup & 2) != 0});
    // The whole road, as it must go out.
    const QByteArray prefix = gateway ? "MDB 7," : "";
    QByteArrayList road{prefix + "OOTi\r\n"};
    for (const char mark : {':', '#'})
        for (int i = 1; i <= lines; ++i)
            if (mark == '#' || !(setup & 2))
                road << prefix + "OOT" + mark + "L" + QByteArray::number(i) + "\r\n";
    const qsizetype firstVerify = road.size() - lines;
    qsizetype at = -1;
    bool errorSeen = false;
    Micros now = 0;
    std::optional<Micros> wakeAt;
    LineBound bound(setup >> 5, 1000, 1000);
    const auto check = [&](const FlashAction& action) {
        wakeAt = session.wakeAt();
        if (!bound.holds(session, action, now))
            fail("a line awaited beyond its bound");
        if (action.send) {
            if (session.finished())
                fail("sent after the end");
            const QByteArray& d = session.datagram();
            if (d == road.value(at + 1))
                ++at;
            else if (at == road.size() - 1 && d == road.value(firstVerify))
                at = firstVerify; // the verify pass again
            else if (d != road.value(at))
                fail("a datagram off the road");
            session.prepareNext();
        }
        if (session.acknowledged() < 0 || session.acknowledged() > session.linesToAnswer() ||
            session.line() > lines)
            fail("a count out of range");
        if (session.result() == FlashResult::Success &&
            (session.acknowledged() != session.linesToAnswer() || at != road.size() - 1 || errorSeen))
            fail("ok without every line of its passes answered, or after an ERROR");
    };
    check(session.start(now));

    static const char* const words[] = {"OK", "ERROR", "DOWNLOAD", "VER=", "ok", " ", "\r\n", "x"};
    while (in.at < in.size) {
        const uint8_t op = in.next();
        if (op < 40) {
            now = std::max(now, wakeAt.value_or(now));
            check(session.onTimer(now));
            continue;
        }
        now += op & 0x80 ? 1 : 100;
        QByteArray reply;
        for (int k = 0; k < 1 + op % 3; ++k)
            reply += words[(op >> (2 + 2 * k)) % 8];
        const bool error = reply.startsWith("ERROR\r") || reply.startsWith("ERROR ") || reply == "ERROR";
        errorSeen = errorSeen || (error && !session.finished()); // after the end, nothing counts
        check(session.onReply(reply, now));
    }
}

void againstTheDevice(Bytes in) {
    const uint8_t shape = in.next(), setup = in.next();
    const QByteArray content = syntheticHexFile(3 + shape % 12);
    QByteArrayList lines = content.trimmed().split('\n');
    LineStore file;
    for (QByteArray& line : lines)
        file.append(line = line.trimmed());
    DeviceModel::Settings device{};
    if (setup % 4 == 0)
        device.errorAtLine = 1 + (setup >> 2) % file.count();
    DeviceModel model(device);
    const bool verifyOnly = setup & 0x40;
    if (verifyOnly) {
        // The device holds the file, or the file with one data byte changed.
        QByteArrayList held = lines;
        if (!(setup & 0x80)) {
            const qsizetype at = 1 + shape / 16 % (lines.size() - 2); // a data record
            auto r = std::get<HexRecord>(parseHexRecord(held[at]));
            r.data[0] = char(~r.data[0]);
            held[at] = formatHexRecord(r.type, r.address, r.data).trimmed();
        }
        for (const QByteArray& line : held)
            (void)model.handle("OOT" + line + "\r\n");
    }
    FlasherConversation host(file, {.gateway = false,
                                    .retries = 2 + shape / 32,
                                    .timeoutMs = 200,
                                    .firstTimeoutMs = 200,
                                    .verifyOnly = verifyOnly});
    // Each datagram takes two bytes: the first says lost (1 in 8) or, for a reply, twice (1 in
    // 8); the second its delay, 0 to 119 us, so that a round trip with both ways late stays
    // within the shortest horizon: later replies are the limit no rule can see.
    InProcessLine line(model, [&](bool toDevice, int, QByteArrayView) {
        const uint8_t what = in.next(), delay = in.next();
        return LineFault{what % 8 == 1, !toDevice && (what >> 3) % 8 == 1 ? 2 : 1, Micros(delay) * 15 / 32};
    });
    line.hostDelayUs = shape % 4 * 15; // a busy host sends a while after the event
    LineBound bound(2 + shape / 32, 200, 200);
    line.onAction = [&](const FlashAction& action) {
        if (!bound.holds(host, action, line.now))
            fail("a line awaited beyond its bound");
    };
    bool errorSeen = false;
    line.onDelivered = [&](const InProcessLine::Delivery& d) {
        errorSeen = errorSeen || d.reply.startsWith("ERROR");
        if (d.taken && d.answers != d.inFlight)
            fail("an answer taken that the device gave to another line");
    };
    const FlashResult result = line.run(host, 1000000);
    if (result == FlashResult::Running)
        fail("no end");
    if (result == FlashResult::Success && (errorSeen || model.image() != *hexFileImage(content)))
        fail("ok where the device does not hold the file, or after an ERROR");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const Bytes in{data + 1, size - 1};
    if (data[0] & 1)
        againstTheDevice(in);
    else
        scripted(in);
    return 0;
}
