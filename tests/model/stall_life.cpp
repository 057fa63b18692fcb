// The stall watch's life (see stall_life.h).  The writer is the input
// flusher: one byte every 2 s into a pipe of 4096 bytes, dropped when the
// pipe is full.  The watch sees what the supervisor's looks see: the bytes
// waiting and the bytes read so far.  The supervisor looks when it wakes: at
// the end of a minute's rest, sooner for reasons of its own (output, a
// request, a metrics write), or when the watch asks for a wake.
#include "model/stall_life.h"

#include "service/stall_watch.h"

namespace {

const uint64_t STEP_MS = 250, FLUSH_MS = 2000, REST_MS = 60000;
const uint32_t PIPE_SIZE = 4096;

enum Pace { FAST, SLOW, BURSTY, STOPPED, CLOSED, PACE_COUNT };
const char* const PACE_NAMES[] = {"fast", "slow", "bursty", "stopped", "closed"};

}  // namespace

std::string RunStallLife(const LifeChoice& next, int phases)
{
    const uint64_t stallTimes[] = {3000, 60000, 600000};
    uint64_t stallMs = stallTimes[next(3)];
    uint64_t lookMs = StallLookIntervalMs(stallMs);
    std::string paces = "stall time " + std::to_string(stallMs) + " ms, a look every " + std::to_string(lookMs) + " ms\n";
    StallWatch watch = {};
    uint64_t now = 0, unread = 0, readTotal = 0, nextLook = lookMs, nextWake = lookMs, lastLook = 0;
    // How late a report may be: two looks at the watch's own pace, or the
    // rest it does not shorten and a look.
    uint64_t lateMs = 2 * lookMs + (stallMs < REST_MS ? 0 : REST_MS);
    // Since when the reader has read nothing while bytes waited (the truth
    // the looks only see in part).
    uint64_t waitingSince = 0;
    bool waiting = false, reported = false;
    for (int phase = 0; phase < phases; ++phase) {
        Pace pace = (Pace)next(PACE_COUNT);
        uint64_t period = 2500 + 250 * (uint64_t)next(72);
        uint64_t until = now + stallMs / 4 + (uint64_t)next(4) * stallMs;
        paces += std::string(PACE_NAMES[pace]) + (pace == SLOW || pace == BURSTY ? " every " + std::to_string(period) + " ms" : "") +
                 " until " + std::to_string(until) + " ms\n";
        for (; now < until || pace == CLOSED; now += STEP_MS) {
            if (pace == CLOSED && now >= until + 3 * stallMs) return "";
            if (now % FLUSH_MS == 0 && unread < PIPE_SIZE) {
                ++unread;
                if (!waiting) waiting = true, waitingSince = now;
            }
            uint64_t want = pace == FAST ? unread : pace == SLOW && now % period < STEP_MS ? 1
                            : pace == BURSTY && now % period < STEP_MS ? unread : 0;
            if (want > unread) want = unread;
            if (want > 0) {
                unread -= want, readTotal += want;
                waiting = unread > 0;
                waitingSince = now;
            }
            if (waiting && now - waitingSince >= stallMs + lateMs && !reported && stallMs != 0)
                return paces + "at " + std::to_string(now) + " ms: a reader that has read nothing for " +
                       std::to_string(now - waitingSince) + " ms is not reported";
            if (now < nextWake) continue;
            nextWake = now + (next(3) == 0 ? STEP_MS * (1 + next(60)) : REST_MS);
            if (now >= nextLook) {
                uint64_t waited = 0;
                StallVerdict verdict = StallWatchLook(&watch, stallMs, now, (uint32_t)unread, readTotal, &waited);
                std::string at = paces + "at " + std::to_string(now) + " ms: ";
                if (verdict == STALL_BEGINS && (!waiting || now - waitingSince < stallMs))
                    return at + "a reader that read " + std::to_string(now - waitingSince) + " ms ago is reported";
                if (verdict == STALL_ENDS && !reported) return at + "a stall ends that was never reported";
                if (verdict == STALL_ENDS && waiting && waitingSince <= lastLook) return at + "a stall ends without a read";
                if (verdict != STALL_NONE) reported = verdict == STALL_BEGINS;
                nextLook = now + lookMs, lastLook = now;
            }
            uint64_t own = StallWatchWakeTick(&watch, stallMs, nextLook);
            if (own != 0 && own < nextWake) nextWake = (own + STEP_MS - 1) / STEP_MS * STEP_MS;
        }
    }
    return "";
}
