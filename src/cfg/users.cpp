// The account table and the guest policy.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "cfg/cfg_lock.h"
#include "util/util.h"

#include <cstring>

namespace {

constexpr int MAX_USERS = 256;
constexpr size_t MAX_NAME = 128;
constexpr size_t MAX_PASS = 256;

vl2_user g_users[MAX_USERS];
int g_nusers;

// Bytes below 0x20 and 0x7F are refused; bytes from 0x80 up pass so that
// names in any script are stored exactly as given. Returns the length, or
// max + 1 when the text is too long.
size_t printable_len(const char *s, size_t max, int *bad)
{
    size_t n = 0;
    *bad = 0;
    for (; s[n]; n++) {
        if (n == max) return max + 1;
        unsigned char c = (unsigned char)s[n];
        if (c < 0x20 || c == 0x7F) *bad = 1;
    }
    return n;
}

int find_locked(const char *name)
{
    for (int i = 0; i < g_nusers; i++)
        if (strcmp(g_users[i].name, name) == 0) return i;
    return -1;
}

// Cuts to cap - 1 bytes and always terminates (cap >= 1).
void copy_cut(char *dst, int cap, const char *src)
{
    size_t n = strnlen(src, (size_t)cap - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

}  // namespace

void vl2_cfg_reset_users_locked(void)
{
    memset(g_users, 0, sizeof g_users);
    g_nusers = 0;
}

int vlsmb2s_add_user(const char *user, const char *password)
{
    if (!user || !password) return vl2_fail(-1, "add_user: NULL argument");
    int bad;
    size_t nlen = printable_len(user, MAX_NAME, &bad);
    if (nlen < 1 || nlen > MAX_NAME || bad)
        return vl2_fail(-1, "add_user: user must be 1..%d printable bytes", (int)MAX_NAME);
    if (strchr(user, '\\') || strchr(user, '/'))
        return vl2_fail(-1, "add_user: the user name carries no domain (the domain is ignored)");
    size_t plen = printable_len(password, MAX_PASS, &bad);
    if (plen > MAX_PASS || bad) return vl2_fail(-1, "add_user: password must be 0..%d printable bytes", (int)MAX_PASS);

    {
        vl2_cfg_hold hold;
        int i = find_locked(user);
        if (i < 0 && g_nusers < MAX_USERS) {
            i = g_nusers++;
            memcpy(g_users[i].name, user, nlen + 1);
        }
        if (i >= 0) {
            // Clear the whole field so no byte of an older, longer password remains.
            memset(g_users[i].password, 0, sizeof g_users[i].password);
            memcpy(g_users[i].password, password, plen);
            return 0;
        }
    }
    return vl2_fail(-6, "add_user: %d users", MAX_USERS);
}

int vlsmb2s_remove_user(const char *user)
{
    if (!user) return vl2_fail(-1, "remove_user: NULL user");
    {
        vl2_cfg_hold hold;
        int i = find_locked(user);
        if (i >= 0) {
            memset(g_users[i].password, 0, sizeof g_users[i].password);
            memmove(&g_users[i], &g_users[i + 1], (size_t)(g_nusers - i - 1) * sizeof g_users[0]);
            g_nusers--;
            memset(&g_users[g_nusers], 0, sizeof g_users[0]);
            return 0;
        }
    }
    return vl2_fail(-2, "remove_user: no such user");
}

int vl2_user_at(int index, char *name, int namecap, char *password, int passcap)
{
    if (!name || !password || namecap < 1 || passcap < 1) return 1;
    vl2_cfg_hold hold;
    if (index < 0 || index >= g_nusers) return 1;
    copy_cut(name, namecap, g_users[index].name);
    copy_cut(password, passcap, g_users[index].password);
    return 0;
}

int vl2_guest_allowed(void)
{
    vl2_cfg_hold hold;
    int32_t g = vl2_cfg_guest_locked();
    if (g == 0 || g == 1) return g;
    return g_nusers == 0;
}
