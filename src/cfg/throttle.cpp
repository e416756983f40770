// Failed logons per client address across connections: a fixed table, so
// that no number of addresses can make it grow.
#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"
#include "util/util.h"

#include <cstring>

namespace {

constexpr int SLOTS = 256;
// FAILS failures within WINDOW_MS block the address for BLOCK_MS after the
// last of them: at most five guesses in twenty seconds, and a client that
// mistyped is let in again soon.
constexpr int FAILS = 5;
constexpr uint64_t WINDOW_MS = 10000;
constexpr uint64_t BLOCK_MS = 10000;

struct slot {
    vl2_ip ip;
    int used;
    int fails;  // within the window that began at first_ms
    uint64_t first_ms;
    uint64_t last_ms;   // the latest failure, for eviction
    uint64_t until_ms;  // blocked before this time
};

slot g_slots[SLOTS];

slot *find(const vl2_ip *ip)
{
    for (slot &s : g_slots)
        if (s.used && vl2_ip_equal(&s.ip, ip)) return &s;
    return nullptr;
}

// Which of two slots gives way first: one not blocked before a blocked one,
// so that failures from many other addresses do not lift a block early;
// then the one with the older failure.
bool sooner(const slot &a, const slot &b, uint64_t now)
{
    bool ab = a.until_ms > now, bb = b.until_ms > now;
    if (ab != bb) return bb;
    return ab ? a.until_ms < b.until_ms : a.last_ms < b.last_ms;
}

// A free slot, else one whose window and block are over, else the one that
// gives way first.
slot *take(const vl2_ip *ip, uint64_t now)
{
    slot *best = &g_slots[0];
    for (slot &s : g_slots) {
        if (!s.used || (s.until_ms <= now && now - s.first_ms > WINDOW_MS)) {
            best = &s;
            break;
        }
        if (sooner(s, *best, now)) best = &s;
    }
    memset(best, 0, sizeof *best);
    best->used = 1;
    best->ip = *ip;
    best->first_ms = now;
    return best;
}

}  // namespace

int vl2_logon_blocked(const vl2_ip *ip, uint64_t now_ms)
{
    vl2_cfg_hold hold;
    const slot *s = find(ip);
    return s && s->until_ms > now_ms;
}

void vl2_logon_failed(const vl2_ip *ip, uint64_t now_ms)
{
    vl2_cfg_hold hold;
    slot *s = find(ip);
    if (s && s->until_ms > now_ms) return;  // refusals while blocked must not prolong the block
    if (!s) s = take(ip, now_ms);
    if (now_ms - s->first_ms > WINDOW_MS) {
        s->fails = 0;
        s->first_ms = now_ms;
    }
    s->last_ms = now_ms;
    if (++s->fails >= FAILS) {
        s->until_ms = now_ms + BLOCK_MS;
        s->fails = 0;
        s->first_ms = s->until_ms;
    }
}

void vl2_cfg_reset_throttle_locked(void) { memset(g_slots, 0, sizeof g_slots); }
