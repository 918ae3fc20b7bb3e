#pragma once

// A host conversation and the device model in one process, on a virtual clock: every datagram
// crosses a line that loses, duplicates and delays it as the test scripts it. No socket, no
// sleep: a run of thousands of lines with faults takes milliseconds.

#include "core/conversation/device_model.h"
#include "core/conversation/flasher_conversation.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <map>

// What happens to one datagram on the line.
struct LineFault {
    LineFault(bool lost = false, int copies = 1, Micros delay = 0, QByteArray then = {})
        : lost(lost), copies(copies), delay(delay), then(std::move(then)) {}
    bool lost;
    int copies;      // 2: delivered twice, right behind each other
    Micros delay;    // on top of the line's own time
    QByteArray then; // a datagram of the device's own, right behind this one
};

class InProcessLine {
public:
    // `toDevice` tells the direction; `index` counts the datagrams of that direction from 0.
    using Faults = std::function<LineFault(bool toDevice, int index, QByteArrayView bytes)>;
    // A reply as the host took it: the request the device answered with it (empty for one of the
    // device's own), the line the host had in flight, and whether the host took it as that
    // line's answer.
    struct Delivery {
        QByteArray reply, answers, inFlight;
        bool taken;
    };

    // Each way takes `wireUs`; the device answers `deviceUs` after a datagram reaches it.
    explicit InProcessLine(DeviceModel& device, Faults faults = {}, Micros wireUs = 20, Micros deviceUs = 10)
        : m_device(device), m_faults(std::move(faults)), m_wireUs(wireUs), m_deviceUs(deviceUs) {}

    // Runs the flasher's conversation to its end, or until `maxEvents` have passed.
    FlashResult run(FlasherConversation& host, int maxEvents = 2000000) {
        apply(host, host.start(m_now));
        for (int events = 0; events < maxEvents && !host.finished(); ++events) {
            const bool timerFirst = m_wakeAt && (m_queue.empty() || *m_wakeAt <= m_queue.begin()->first);
            if (timerFirst) {
                m_now = std::max(m_now, *m_wakeAt);
                m_wakeAt.reset();
                apply(host, host.onTimer(m_now));
                continue;
            }
            if (m_queue.empty())
                break;
            auto next = m_queue.extract(m_queue.begin());
            m_now = next.key();
            const Datagram& d = next.mapped();
            if (d.toDevice) {
                if (const auto reply = m_device.handle(d.bytes, "host", m_now / 1000))
                    travel(false, *reply, m_now + m_deviceUs, d.bytes);
            } else {
                repliesToHost << d.bytes;
                const QByteArray inFlight = host.datagram();
                const int answered = host.acknowledged();
                apply(host, host.onReply(d.bytes, m_now));
                if (onDelivered)
                    onDelivered({d.bytes, d.answers, inFlight, host.acknowledged() != answered});
            }
        }
        return host.result();
    }

    [[nodiscard]] Micros now() const { return m_now; }
    QList<QByteArray> toDevice, repliesToHost; // every datagram sent each way, lost or not
    std::function<void(const Delivery&)> onDelivered;
    Micros hostDelayUs = 0; // from an event to the send it lets go

private:
    void apply(FlasherConversation& host, const FlashAction& action) {
        if (action.send) {
            // The host's own work before the datagram leaves.
            travel(true, host.datagram(), m_now + hostDelayUs);
            host.sent(m_now + hostDelayUs);
            host.prepareNext();
        }
        m_wakeAt = host.wakeAt();
    }
    struct Datagram {
        bool toDevice;
        QByteArray bytes, answers;
    };

    void travel(bool towardsDevice, const QByteArray& bytes, Micros at, const QByteArray& answers = {}) {
        int& index = towardsDevice ? m_sentToDevice : m_sentToHost;
        const LineFault fault = m_faults ? m_faults(towardsDevice, index, bytes) : LineFault{};
        ++index;
        if (towardsDevice)
            toDevice << bytes;
        if (fault.lost)
            return;
        for (int i = 0; i < fault.copies; ++i)
            m_queue.emplace(at + m_wireUs + fault.delay, Datagram{towardsDevice, bytes, answers});
        if (!fault.then.isEmpty())
            m_queue.emplace(at + m_wireUs + fault.delay, Datagram{towardsDevice, fault.then, {}});
    }

    DeviceModel& m_device;
    Faults m_faults;
    Micros m_wireUs, m_deviceUs;
    Micros m_now = 1000000;
    std::optional<Micros> m_wakeAt;
    std::multimap<Micros, Datagram> m_queue; // equal times keep their order
    int m_sentToDevice = 0, m_sentToHost = 0;
};
