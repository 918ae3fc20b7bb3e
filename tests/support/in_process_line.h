#pragma once

// The flasher's conversation and the device model in one process, on a virtual clock: each
// datagram crosses a line that loses, duplicates and delays it as the test scripts it.
#include "core/conversation/device_model.h"
#include "core/conversation/flasher_conversation.h"

#include <functional>
#include <map>

// What happens to one datagram on the line.
struct LineFault {
    bool lost = false;
    int copies = 1;     // 2: delivered twice
    Micros delay = 0;   // on top of the line's own 20 us
    QByteArray then{};  // a datagram of the device's own, right behind this one
    Micros copyLag = 0; // how long the second copy trails the first
};

// From a line's first send to its answer or the device's failure: at most --retries + 1 of its
// longest waits, and the horizon at its longest, whatever replies come or stay away.
struct LineBound {
    Micros limit;
    Micros lineStart = 0;
    Micros longestWait = 0; // the longest a line has waited so far

    LineBound(int retries, int timeoutMs, int firstTimeoutMs)
        : limit(Micros(retries + 1) * std::max(timeoutMs, firstTimeoutMs) * 1000 +
                2 * Micros(timeoutMs) * 1000) {}
    // After each event at `now`: false once a line has waited beyond the bound.
    bool holds(const FlasherConversation& session, const FlashAction& action, Micros now) {
        if (action.send && !action.resend)
            lineStart = now;
        if (!session.finished() && !session.awaitingAnswer())
            return true;
        longestWait = std::max(longestWait, now - lineStart);
        return now - lineStart <= limit;
    }
};

class InProcessLine {
public:
    // `toDevice` tells the direction; `index` counts the datagrams of that direction from 0.
    using Faults = std::function<LineFault(bool toDevice, int index, QByteArrayView bytes)>;
    // A reply, the request it answers (empty: the device's own), the line in flight, taken as its
    // answer, and what the conversation took it for.
    struct Delivery {
        QByteArray reply, answers, inFlight;
        bool taken;
        FlashAction::Heard heard;
    };

    explicit InProcessLine(DeviceModel& device, Faults faults)
        : m_device(device), m_faults(std::move(faults)) {}

    // Runs the flasher's conversation to its end, or until `maxEvents` have passed.
    FlashResult run(FlasherConversation& host, int maxEvents = 2000000) {
        apply(host, host.start(now));
        for (int events = 0; events < maxEvents && !host.finished(); ++events) {
            if (const auto wakeAt = host.wakeAt();
                wakeAt && (m_queue.empty() || *wakeAt <= m_queue.begin()->first)) {
                now = std::max(now, *wakeAt);
                apply(host, host.onTimer(now));
                continue;
            }
            if (m_queue.empty())
                break;
            auto next = m_queue.extract(m_queue.begin());
            const Datagram& d = next.mapped();
            now = next.key();
            if (d.toDevice) {
                // The device serves one request after another: its own 10 us, and the service time
                // the test plays (a record's, a flash row's write).
                m_deviceFree = std::max(m_deviceFree, now) + 10 + (serviceUs ? serviceUs(d.bytes) : 0);
                if (const auto reply = m_device.handle(d.bytes, "host", now / 1000))
                    travel(false, *reply, m_deviceFree, d.bytes);
                continue;
            }
            const QByteArray inFlight = host.datagram();
            const int answered = host.acknowledged();
            const FlashAction action = host.onReply(d.bytes, now);
            apply(host, action);
            if (onDelivered)
                onDelivered({d.bytes, d.answers, inFlight, host.acknowledged() != answered, action.heard});
        }
        return host.result();
    }

    Micros now = 1000000;
    std::function<void(const Delivery&)> onDelivered;
    std::function<void(const FlashAction&)> onAction;        // after every event, at `now`
    Micros hostDelayUs = 0;                                  // from an event to the send it lets go
    std::function<Micros(QByteArrayView request)> serviceUs; // the device's time for a request

private:
    void apply(FlasherConversation& host, const FlashAction& action) {
        if (onAction)
            onAction(action);
        if (action.send) {
            travel(true, host.datagram(), now + hostDelayUs);
            host.sent(now + hostDelayUs);
            host.prepareNext();
        }
    }
    struct Datagram {
        bool toDevice;
        QByteArray bytes, answers;
    };

    void travel(bool toDevice, const QByteArray& bytes, Micros at, const QByteArray& answers = {}) {
        const LineFault fault = m_faults ? m_faults(toDevice, m_sent[toDevice]++, bytes) : LineFault{};
        for (int i = 0; i < (fault.lost ? 0 : fault.copies); ++i)
            m_queue.emplace(at + 20 + fault.delay + (i > 0 ? fault.copyLag : 0),
                            Datagram{toDevice, bytes, answers});
        if (!fault.lost && !fault.then.isEmpty())
            m_queue.emplace(at + 20 + fault.delay, Datagram{toDevice, fault.then, {}});
    }

    DeviceModel& m_device;
    Faults m_faults;
    std::multimap<Micros, Datagram> m_queue; // equal times keep their order
    int m_sent[2] = {};
    Micros m_deviceFree = 0;
};
