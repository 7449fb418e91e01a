// When to look for the device's answer to what was just sent. The answer cannot begin before
// the sent frame has gone out, and its own frame then takes its time on the line: sleeping until
// all of it can be there costs one wake-up per answer instead of one for its first byte and one
// for its rest. The one unknown, how long the device takes to begin, is learnt from the answers
// before; a device that is slow or irregular in this gets the first-byte wake-up as before.
#pragma once
#include <algorithm>
#include <cstdint>

class AnswerTiming {
public:
    // Beyond this the device's delay is too long or too irregular to sleep through.
    static constexpr uint64_t kMostLagUs = 20000;

    // A frame of `bytes` was handed to the line at nowUs.
    void Sent(uint64_t nowUs, int bytes, uint32_t bitsPerSecond) {
        if (bitsPerSecond == 0)
            return;
        m_outUs = nowUs + static_cast<uint64_t>(bytes) * 10 * 1000000 / bitsPerSecond;
        m_byteUs = 10ull * 1000000 / bitsPerSecond;
        m_awaited = true;
        m_late = false;
    }
    // Until when to sleep for an answer whose frame takes frameUs on the line; 0 for not at all.
    uint64_t DueUs(uint64_t frameUs) const {
        return m_awaited && m_lagUs <= kMostLagUs ? m_outUs + frameUs + m_lagUs : 0;
    }
    // The first read after a send found bytes at nowUs: a whole frame expected to take frameUs
    // on the line, or the first `arrived` bytes of one still coming. Waking too early costs one
    // more wake-up, waking too late delays every answer: the delay is learnt as the level that
    // about four answers in five stay within, in small steps, so that one slow answer moves it
    // only a little.
    void FirstBytes(uint64_t nowUs, bool complete, int arrived, uint64_t frameUs) {
        if (!m_awaited)
            return;
        m_awaited = false;
        const uint64_t stepUs = m_byteUs / 2;
        uint64_t lagUs = 0; // the delay this answer shows, when it shows one
        if (complete) {
            // There when it was due: it may have been there long before. Not there then: the
            // line was watched from then on, so it came just now.
            if (!m_late) {
                m_lagUs -= std::min(m_lagUs, stepUs / 4);
                return;
            }
            lagUs = nowUs > m_outUs + frameUs ? nowUs - (m_outUs + frameUs) : 0;
        } else {
            // The frame began about as long ago as its bytes so far took on the line.
            const uint64_t sinceUs = static_cast<uint64_t>(arrived) * m_byteUs;
            const uint64_t beganUs = nowUs > sinceUs ? nowUs - sinceUs : 0;
            lagUs = beganUs > m_outUs ? beganUs - m_outUs : 0;
        }
        if (lagUs > m_lagUs)
            m_lagUs += std::min(lagUs - m_lagUs, stepUs);
    }
    // Nothing of the answer had come when it was due: the line is watched for it from now on.
    void Late() { m_late = true; }
    bool Awaited() const { return m_awaited; }
    uint64_t LagUs() const { return m_lagUs; }

private:
    bool m_awaited = false;
    bool m_late = false;
    uint64_t m_outUs = 0;  // when the sent frame has gone out
    uint64_t m_byteUs = 0; // one byte's time on the line
    uint64_t m_lagUs = 0;  // the device's delay before its answer begins, as learnt
};
