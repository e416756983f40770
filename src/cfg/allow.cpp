// The client allow-list: address prefixes admitted besides loopback.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"
#include "util/util.h"

#include <cstring>

namespace {

constexpr int MAX_CIDRS = 64;

vl2_cidr g_cidrs[MAX_CIDRS];
int g_ncidrs;

}  // namespace

void vl2_cfg_reset_allow_locked(void)
{
    memset(g_cidrs, 0, sizeof g_cidrs);
    g_ncidrs = 0;
}

int vlsmb2s_allow_cidr(const char *cidr)
{
    if (!cidr || !*cidr) return vl2_fail(-1, "allow_cidr: empty CIDR");
    vl2_cidr c;
    if (vl2_cidr_parse(cidr, &c) != 0) return vl2_fail(-1, "allow_cidr: %.64s is not a CIDR", cidr);

    {
        vl2_cfg_hold hold;
        for (int i = 0; i < g_ncidrs; i++)
            if (g_cidrs[i].prefix == c.prefix && vl2_ip_equal(&g_cidrs[i].ip, &c.ip)) return 0;
        if (g_ncidrs < MAX_CIDRS) {
            g_cidrs[g_ncidrs++] = c;
            return 0;
        }
    }
    // The message is recorded after the lock is released (never two locks).
    return vl2_fail(-6, "allow_cidr: %d CIDRs", MAX_CIDRS);
}

int vl2_client_allowed(const vl2_ip *ip)
{
    if (!ip) return 0;
    if (vl2_ip_is_loopback(ip)) return 1;
    vl2_cfg_hold hold;
    for (int i = 0; i < g_ncidrs; i++)
        if (vl2_cidr_match(&g_cidrs[i], ip)) return 1;
    return 0;
}
