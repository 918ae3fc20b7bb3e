#include "core/conversation/reply_clock.h"

void ReplyClock::bootTrip(Micros roundTrip) {
    roundTrip = std::max<Micros>(roundTrip, 1);
    delay(roundTrip);
    m_srtt = m_samples++ == 0 ? roundTrip : (7 * m_srtt + roundTrip) / 8;
}

void ReplyClock::cleanTrip(Micros roundTrip) {
    roundTrip = std::max<Micros>(roundTrip, 1);
    m_trips.push(roundTrip);
    // Read at every reply and every wait: worked out once a trip.
    m_tripTailUs = m_trips.max();
    m_soonestUs = std::min(TwinWindowUs, m_trips.secondSmallest() / 3);
    bootTrip(roundTrip);
    m_backoffs = 0;
}

void ReplyClock::delay(Micros delay) {
    m_delays.push(std::max<Micros>(delay, 1));
}

void ReplyClock::spurious(Micros roundTrip) {
    m_floorUs = std::min(m_longestUs, std::max(m_floorUs, roundTrip + roundTrip / 4));
    m_linesSinceSpurious = 0;
}

// The slow tail of the recent round trips with a quarter of it again, or the floor, whichever is
// longer: a line is sent again only once a healthy device's slow answers would have come. (A
// mean and its deviations would fire on every flash-row write: the round trips of a device that
// writes a row every few records are two heaps far apart.)
Micros ReplyClock::timeoutUs() const {
    if (m_samples == 0)
        return m_longestUs;
    const Micros tail = m_tripTailUs;
    // A device's first records say little of its slow ones (a flash row is written every few):
    // until a quarter of the window is known, the least floor counts four times over.
    const Micros floor =
        m_trips.size() < TripWindow / 4 ? std::max(m_floorUs, 4 * TimeoutFloorUs) : m_floorUs;
    // Before any record's round trip, the first contact's.
    const Micros slow = m_trips.isEmpty() ? 2 * m_srtt : tail + tail / 4;
    return std::min(std::max(floor, slow), m_longestUs);
}

// Karn: a time-out too short for the device would otherwise never learn better, as resent lines
// give no sample.
Micros ReplyClock::waitUs() const {
    Micros wait = timeoutUs();
    for (int i = 0; i < m_backoffs && wait < m_longestUs; ++i)
        wait *= 2;
    return std::min(wait, m_longestUs);
}

Micros ReplyClock::horizonUs() const {
    const Micros longest = m_delays.isEmpty() ? 0 : m_delays.max();
    // A reply later than twice the longest wait is taken for lost, however late replies have
    // come: the verify pass is the guard beyond that.
    return std::min(std::max(HorizonFloorUs, 2 * longest), std::max(2 * m_longestUs, HorizonFloorUs));
}

void ReplyClock::duplicateTrailed(Micros behind) {
    m_twinLags.push(std::max<Micros>(behind, 0));
    const Micros borneOut = m_twinLags.size() >= 2 ? 2 * m_twinLags.secondLargest() + 1 : 0;
    const Micros most = std::min(std::max(horizonUs(), borneOut), 2 * m_longestUs);
    m_twinGapUs = std::max(m_twinGapUs, std::min(2 * behind + 1, most));
    m_linesSinceTwin = 0;
}

void ReplyClock::lineDuplicates() {
    m_twinGapUs = std::max(m_twinGapUs, horizonUs());
    m_linesSinceTwin = 0;
}

void ReplyClock::answered() {
    if (m_floorUs > TimeoutFloorUs && ++m_linesSinceSpurious > FloorMemoryLines) {
        m_floorUs = std::max(TimeoutFloorUs, m_floorUs / 2);
        m_linesSinceSpurious = 0;
    }
    // A line that has stopped duplicating replies gets its pace back.
    if (m_twinGapUs > 0 && ++m_linesSinceTwin > TwinMemoryLines)
        m_twinGapUs = 0;
    // A copy written off so many answers ago that a stray now is more likely anything else.
    if (m_writtenOff != 0 && ++m_sinceWriteOff > 32)
        m_writtenOff = 0;
}

bool ReplyClock::strayAfterWriteOff(Micros arrived) {
    if (m_writtenOff == 0)
        return false;
    delay(arrived - std::exchange(m_writtenOff, 0));
    return true;
}
