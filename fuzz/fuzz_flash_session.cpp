// The flasher's session fed arbitrary replies and timer runs. Whatever the device says, the
// session may only send the road's datagrams in order (or the last one again), and may only end
// "ok" after the device answered every line of both passes in order.
#include "core/conversation/flasher_conversation.h"

#include <QByteArrayList>

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int lines = 1 + data[0] % 6;
    const bool gateway = data[1] & 1;
    LineStore file;
    for (int i = 1; i <= lines; ++i)
        file.append(":L" + QByteArray::number(i));
    FlashSettings settings;
    settings.gateway = gateway;
    settings.gatewayAddress = QStringLiteral("7");
    settings.retries = data[1] >> 5;
    settings.timeoutMs = 1000;
    FlasherConversation session(file, settings);

    // The whole road, as it must go out.
    const QByteArray prefix = gateway ? "MDB 7," : "";
    QByteArrayList road{prefix + "OOTi\r\n"};
    for (const char mark : {':', '#'})
        for (int i = 1; i <= lines; ++i)
            road << prefix + "OOT" + mark + "L" + QByteArray::number(i) + "\r\n";
    qsizetype at = -1;
    const auto check = [&](const FlashAction& action) {
        if (action.send) {
            if (session.finished())
                fail("sent after the end");
            if (session.datagram() != road.value(at) && session.datagram() != road.value(at + 1))
                fail("a datagram off the road");
            if (session.datagram() == road.value(at + 1))
                ++at;
        }
        if (session.acknowledged() < 0 || session.acknowledged() > 2 * lines || session.line() > lines)
            fail("a count out of range");
        if (session.result() == FlashResult::Success &&
            (session.acknowledged() != 2 * lines || at != road.size() - 1))
            fail("ok without every line of both passes answered");
    };
    check(session.start());

    static const char* const words[] = {"OK", "ERROR", "DOWNLOAD", "VER=", "ok", " ", "\r\n", "x"};
    for (size_t i = 2; i < size; ++i) {
        const uint8_t op = data[i];
        if (op < 40) {
            check(session.onTimer());
            continue;
        }
        QByteArray reply;
        for (int k = 0; k < 1 + op % 3; ++k)
            reply += words[(op >> (2 + 2 * k)) % 8];
        check(session.onReply(reply));
    }
    return 0;
}
