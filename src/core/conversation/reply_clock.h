#pragma once

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <functional>
#include <utility>

// Time as the owner's clock gives it, in microseconds from any fixed origin.
using Micros = qint64;

// The last N values pushed, oldest first out.
template <typename T, int N> class Ring {
public:
    void push(T value) {
        m_values[size_t(m_next)] = value;
        m_next = (m_next + 1) % N;
        m_count = std::min(m_count + 1, N);
    }
    [[nodiscard]] int size() const { return m_count; }
    [[nodiscard]] bool isEmpty() const { return m_count == 0; }
    [[nodiscard]] T max() const { return *std::max_element(m_values.begin(), m_values.begin() + m_count); }
    // The second smallest and the second largest of those held (the one held when it is alone):
    // one look at each value, no copy.
    [[nodiscard]] T secondSmallest() const { return second(std::less<T>()); }
    [[nodiscard]] T secondLargest() const { return second(std::greater<T>()); }

private:
    template <typename Before> T second(Before before) const {
        T first = m_values[0], next = m_values[0];
        for (int i = 1; i < m_count; ++i) {
            const T v = m_values[size_t(i)];
            if (before(v, first)) {
                next = std::exchange(first, v);
            } else if (before(v, next) || i == 1) {
                next = v;
            }
        }
        return next;
    }

    std::array<T, N> m_values{};
    int m_count = 0;
    int m_next = 0;
};

// How long to wait for one device's replies: the flasher's clock, apart from the passes that ask
// it. It learns from the round trips of the records (Karn: only a line answered at its first send
// times the device) and from every reply's delay; it holds no clock of its own. HACKING.md walks
// through a timeline.
class ReplyClock {
public:
    // The shortest time-out: a busy host's time slice, a device's flash-row write or a switch's
    // queue are milliseconds, whatever a quiet loopback's round trips say.
    static constexpr Micros TimeoutFloorUs = 1000;
    // The shortest horizon: below it, the host's own timers make delays that no device has.
    static constexpr Micros HorizonFloorUs = 300;
    // A datagram's duplicate usually follows it within this.
    static constexpr Micros TwinWindowUs = 20;
    // Lines answered without a duplicate before the line is taken to have stopped duplicating.
    static constexpr int TwinMemoryLines = 256;
    // Lines answered after a needless resend before its raised floor halves again: a pause of a
    // busy host passes, and every loss would cost the raised wait.
    static constexpr int FloorMemoryLines = 1024;
    // Clean round trips whose slow tail sets the time-out.
    static constexpr int TripWindow = 64;
    // The longest a lone link asks for an answer before it sleeps, and the round trip it must be
    // within: waking a sleeping process costs a host tens of microseconds (a virtual machine's
    // more), as much as such a round trip itself.
    static constexpr Micros SpinUs = 100;

    // `longestUs`: the longest wait allowed (--timeout).
    explicit ReplyClock(Micros longestUs) : m_longestUs(std::max<Micros>(longestUs, 1)) {}

    // A record answered at its first send, `roundTrip` after it went.
    void cleanTrip(Micros roundTrip);
    // The boot information answered at its first send: a first round trip, and nothing of how soon
    // a record can be answered (another part of the device answers it).
    void bootTrip(Micros roundTrip);
    // Any answer's delay, late ones included: the horizon follows them.
    void delay(Micros delay);
    // A resend turned out needless: every copy was answered, the first `roundTrip` after it went.
    // The time-out does not fall below that and a quarter more (the margin of the slow tail) for
    // the next FloorMemoryLines lines, then halves towards TimeoutFloorUs each as many lines after.
    void spurious(Micros roundTrip);
    // A copy waited in vain: the next waits twice as long (until a line is answered at its first
    // send, or its copies turn out lost rather than late).
    void timedOut() { m_backoffs = std::min(m_backoffs + 1, 64); }
    void resetBackoff() { m_backoffs = 0; }

    // The time-out learnt (no backoff); the longest wait before anything was learnt.
    [[nodiscard]] Micros timeoutUs() const;
    // The wait for the next copy: the time-out doubled at each time-out since a line was last
    // answered at its first send, never more than the longest wait.
    [[nodiscard]] Micros waitUs() const;
    // How late a reply may still come: twice the longest recent delay, within the horizon floor
    // and twice the longest wait.
    [[nodiscard]] Micros horizonUs() const;
    // The shortest time in which an answer can come: a third of the second shortest recent clean
    // round trip, at most TwinWindowUs; sooner, a reply is an earlier one's duplicate. (Round trips
    // on one line vary several times over, so nothing surer can be said; the second shortest, as
    // one duplicate taken for an answer must not blind the rule to the next.)
    [[nodiscard]] Micros soonestAnswerUs() const { return m_soonestUs; }
    [[nodiscard]] Micros smoothedUs() const { return m_srtt; }
    // How long to ask for an answer before sleeping: SpinUs while the smoothed round trip is
    // within it (a fast device nearby, a simulator), none for a slower device.
    [[nodiscard]] Micros spinUs() const { return m_samples > 0 && m_srtt <= SpinUs ? SpinUs : 0; }
    [[nodiscard]] Micros floorUs() const { return m_floorUs; }
    [[nodiscard]] Micros longestUs() const { return m_longestUs; }

    // Duplicates of answers: one came `behind` after the answer it trails, while nothing else
    // was awaited. The next lines wait twice that after each answer, so that such duplicates show
    // before the next line goes; beyond the horizon only as far as a second duplicate as late
    // bears out, so that one reply late for another reason does not slow every line.
    void duplicateTrailed(Micros behind);
    // A reply answered nothing where no duplicate's delay could be told (it came while a line was
    // awaited): the line duplicates or delays replies. The next lines wait the horizon at least
    // after each answer, and learn there how late the duplicates come.
    void lineDuplicates();
    // A line was answered: after TwinMemoryLines without a duplicate the wait after answers ends,
    // after FloorMemoryLines without a needless resend a raised floor halves.
    void answered();
    [[nodiscard]] Micros duplicateGapUs() const { return m_twinGapUs; }

    // Copies sent at `sentAt` went unanswered past the horizon: a record's word that comes later
    // than any duplicate could is most likely their answer after all, and lengthens the horizon.
    void writeOff(Micros sentAt) {
        m_writtenOff = sentAt;
        m_sinceWriteOff = 0;
    }
    // A reply that answered nothing came at `arrived`: taken for the written-off copies' answer
    // when there are any (true), and then it lengthens the horizon.
    bool strayAfterWriteOff(Micros arrived);

private:
    Micros m_longestUs;
    Micros m_floorUs = TimeoutFloorUs;
    int m_linesSinceSpurious = 0;
    Micros m_srtt = 0;
    int m_samples = 0;
    int m_backoffs = 0;
    Ring<Micros, TripWindow> m_trips; // clean round trips of records
    Micros m_tripTailUs = 0;          // the longest of them
    Micros m_soonestUs = 0;
    Ring<Micros, 32> m_delays;   // every recent answer's delay, late ones included
    Ring<Micros, 16> m_twinLags; // how far recent duplicates trailed their answers
    Micros m_twinGapUs = 0;
    int m_linesSinceTwin = 0;
    Micros m_writtenOff = 0; // the send of the latest copy presumed lost, until a stray shows
    int m_sinceWriteOff = 0;
};
