// NTLM: the CHALLENGE message, the NTLMv2 key derivation and the check of
// one AUTHENTICATE message against one account.
#include "ntlm/ntlm.h"
#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "util/util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t F_NTLM = 0x00000200;
constexpr uint32_t F_ESS = 0x00080000;
constexpr uint32_t F_KEY_EXCH = 0x40000000;
constexpr uint32_t CHALLENGE_FLAGS = 0xE0880601;
constexpr uint16_t AV_EOL = 0, AV_NB_COMPUTER = 1, AV_NB_DOMAIN = 2, AV_TIMESTAMP = 7;
constexpr size_t NT_MIN = 48, NT_MAX = 1040;
constexpr int64_t MAX_SKEW = 7200;
const char default_name[] = "VELANTORIMBUS";
const uint8_t signature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

bool tracing() { return getenv("VLSMB2S_TRACE") != nullptr; }

__attribute__((format(printf, 1, 2))) void trace(const char *fmt, ...)
{
    if (!tracing())
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int rd_u16(tok_cursor *c, uint16_t *v)
{
    if (c->size - c->pos < 2)
        return -1;
    *v = vl2_le16(c->data + c->pos);
    c->pos += 2;
    return 0;
}

int rd_u32(tok_cursor *c, uint32_t *v)
{
    if (c->size - c->pos < 4)
        return -1;
    *v = vl2_le32(c->data + c->pos);
    c->pos += 4;
    return 0;
}

// Security-buffer descriptor. *ptr is null when the descriptor is missing
// or points outside the message (then *len is left as it was), or when its
// offset is 0 (then *len is still stored).
void field(tok_cursor *c, const uint8_t **ptr, size_t *len)
{
    *ptr = nullptr;
    if (c->size - c->pos < 8) {
        c->pos = c->size;
        return;
    }
    uint16_t ln = 0, hi = 0;
    uint32_t off = 0;
    rd_u16(c, &ln);
    rd_u16(c, &hi);
    rd_u32(c, &off);
    if ((uint64_t)off + ln > c->size) {
        trace("[t3field] off=%u ln=%u msglen=%zu hi=%u\n", off, (unsigned)ln, c->size, (unsigned)hi);
        return;
    }
    *len = ln;
    if (off)
        *ptr = c->data + off;
}

// Finds AvId id in an AV-pair list; 0 and the value, or -1.
int av_find(const uint8_t *list, size_t len, uint16_t id, const uint8_t **val, size_t *vlen)
{
    if (len < 4)
        return -1;
    size_t off = 0;
    for (;;) {
        if (len - off < 4)
            return -1;
        uint16_t aid = vl2_le16(list + off);
        uint16_t alen = vl2_le16(list + off + 2);
        if (alen > len - off - 4 || aid == AV_EOL)
            return -1;
        if (aid == id) {
            *val = list + off + 4;
            *vlen = alen;
            return 0;
        }
        off += 4 + (size_t)alen;
        if (len - off < 4)
            return -1;
    }
}

// Lists the blob's AV pairs for the trace.
void trace_walk(const uint8_t *blob, size_t blen)
{
    fprintf(stderr, "[t3] walk blen=%zu:", blen);
    size_t off = 28;
    while (off <= blen && blen - off >= 4) {
        uint16_t id = vl2_le16(blob + off);
        uint16_t ln = vl2_le16(blob + off + 2);
        fprintf(stderr, " id=%u len=%u@%zu", (unsigned)id, (unsigned)ln, off);
        if (ln > blen - off - 4) {
            fprintf(stderr, " OVER");
            break;
        }
        if (id == AV_EOL)
            break;
        off += 4 + (size_t)ln;
    }
    fprintf(stderr, "\n");
}

bool fold_equal(const uint8_t *a, const uint8_t *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        uint8_t x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = (uint8_t)(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = (uint8_t)(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

// The name the NTLMv2 key is made from is the upper-cased one, so two
// names that upper-case alike (in any script) are the same account.
bool same_user(const char *want, const uint8_t *wire16, size_t wirelen, const char *wire8)
{
    if (vl2_casecmp(wire8, want) == 0)
        return true;
    char cut[129];
    snprintf(cut, sizeof cut, "%s", want);
    uint8_t a[264], b[264];
    int alen = 0;
    if (wirelen > sizeof b || vl2_utf8_to_utf16le(cut, a, sizeof a, &alen) != 0 || (size_t)alen != wirelen)
        return false;
    if (wirelen)
        memcpy(b, wire16, wirelen);
    vl2_ntlm_upcase16le(a, (size_t)alen);
    vl2_ntlm_upcase16le(b, wirelen);
    return memcmp(a, b, wirelen) == 0;
}

// The server name as the CHALLENGE carries it: at most 60 bytes, UTF-16LE.
int server_name16(const char *server_name, char cut[61], uint8_t out[160], int *outlen)
{
    const char *name = (server_name && server_name[0]) ? server_name : default_name;
    snprintf(cut, 61, "%.60s", name);
    return vl2_utf8_to_utf16le(cut, out, 160, outlen);
}

const uint8_t zero_key[16] = {0};

// The exported session key: the client's random key, RC4 under base.
void decrypt_session_key(const uint8_t enc[16], const uint8_t base[16], uint8_t key[16])
{
    vl2_rc4_ctx rc;
    memcpy(key, enc, 16);
    vl2_rc4_init(&rc, base, 16);
    vl2_rc4(&rc, key, 16);
    vl2_wipe(&rc, sizeof rc);
}

} // namespace

int vl2_ntlm_user(const uint8_t *msg, size_t len, char *out, int cap)
{
    if (!msg || len < 44 || !out || cap < 1 || memcmp(msg, signature, 8) != 0 || vl2_le32(msg + 8) != 3)
        return -1;
    tok_cursor c{msg, len, 36};
    const uint8_t *usr = nullptr;
    size_t usrlen = 0;
    field(&c, &usr, &usrlen);
    out[0] = 0;
    if (usrlen == 0)
        return 0;
    return usr && vl2_utf16_to_utf8(usr, usrlen, out, cap) >= 0 ? 0 : -1;
}

int vl2_ntlm_type1(const uint8_t *msg, size_t len)
{
    if (!msg || len < 16 || memcmp(msg, signature, 8) != 0 || vl2_le32(msg + 8) != 1)
        return -1;
    return 0;
}

int vl2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t now, vl2_buf *b)
{
    char cut[61];
    uint8_t name[160];
    int nb = 0;
    if (server_name16(server_name, cut, name, &nb) != 0)
        return -1;
    size_t B = (size_t)nb;
    uint8_t m[72 + 2 * sizeof name];
    memset(m, 0, sizeof m);
    memcpy(m, signature, 8);
    vl2_put32(m + 8, 2);
    // 12: TargetNameFields stay zero (no target name).
    vl2_put32(m + 20, CHALLENGE_FLAGS);
    memcpy(m + 24, challenge, 8);
    // 32: Reserved.
    vl2_put16(m + 40, (uint16_t)(2 * B + 24));
    vl2_put16(m + 42, (uint16_t)(2 * B + 24));
    vl2_put32(m + 44, 48);
    uint8_t *p = m + 48;
    vl2_put16(p, AV_NB_DOMAIN);
    vl2_put16(p + 2, (uint16_t)B);
    memcpy(p + 4, name, B);
    p += 4 + B;
    vl2_put16(p, AV_NB_COMPUTER);
    vl2_put16(p + 2, (uint16_t)B);
    memcpy(p + 4, name, B);
    p += 4 + B;
    vl2_put16(p, AV_TIMESTAMP);
    vl2_put16(p + 2, 8);
    // Unsigned arithmetic: a caller's absurd clock must not be undefined.
    vl2_put64(p + 4, ((uint64_t)now + 11644473600ULL) * 10000000ULL);
    p += 12;
    // MsvAvEOL: four zero bytes already there.
    p += 4;
    vl2_buf_put(b, m, (uint64_t)(p - m));
    return 0;
}

void vl2_ntlm_hashes_dom(const char *user, const char *domain, const char *password, uint8_t nthash[16],
                         uint8_t ntowfv2[16])
{
    char u[129], d[129];
    snprintf(u, sizeof u, "%s", user ? user : "");
    snprintf(d, sizeof d, "%s", domain ? domain : "");
    uint8_t pw[514];
    int pwlen = 0;
    if (vl2_utf8_to_utf16le(password ? password : "", pw, sizeof pw, &pwlen) != 0) {
        memset(nthash, 0, 16);
        memset(ntowfv2, 0, 16);
        vl2_wipe(pw, sizeof pw);
        return;
    }
    vl2_md4(pw, (size_t)pwlen, nthash);
    vl2_wipe(pw, sizeof pw);

    uint8_t ud[264];
    int ulen = 0, dlen = 0;
    if (vl2_utf8_to_utf16le(u, ud, sizeof ud, &ulen) != 0)
        ulen = 0;
    // Clients upper-case the user name (not the domain) unit by unit.
    vl2_ntlm_upcase16le(ud, (size_t)ulen);
    if (vl2_utf8_to_utf16le(d, ud + ulen, (int)sizeof ud - ulen, &dlen) != 0)
        dlen = 0;
    vl2_hmacmd5(nthash, 16, ud, (size_t)(ulen + dlen), ntowfv2);
}

void vl2_ntlm_hashes(const char *user, const char *password, uint8_t nthash[16], uint8_t ntowfv2[16])
{
    vl2_ntlm_hashes_dom(user, "", password, nthash, ntowfv2);
}

int vl2_ntlm_type3(const uint8_t *msg, size_t len, const uint8_t challenge[8], const char *server_name,
                   int64_t now, int timecheck, const char *user, const char *password, int *anonymous,
                   uint8_t key[16])
{
    *anonymous = 0;
    memset(key, 0, 16);
    if (!user)
        user = "";
    if (!password)
        password = "";
    if (!msg || len < 32) {
        trace("[t3] short %zu\n", len);
        return -1;
    }
    if (memcmp(msg, signature, 8) != 0) {
        trace("[t3] sig\n");
        return -1;
    }
    if (vl2_le32(msg + 8) != 3)
        return -1;

    tok_cursor c{msg, len, 12};
    const uint8_t *lm, *nt, *dom, *usr, *ws, *ersk;
    size_t lmlen = 0, ntlen = 0, domlen = 0, usrlen = 0, wslen = 0, ersklen = 0;
    field(&c, &lm, &lmlen);
    field(&c, &nt, &ntlen);
    if (!nt) {
        trace("[t3] ntfield\n");
        return -1;
    }
    field(&c, &dom, &domlen);
    field(&c, &usr, &usrlen);
    field(&c, &ws, &wslen);
    field(&c, &ersk, &ersklen);
    uint32_t flags = 0;
    if (rd_u32(&c, &flags) != 0) {
        trace("[t3] flags\n");
        return -1;
    }
    // An anonymous logon carries no response to protect, whatever its flags
    // say; clients commonly send it with NTLM set and extended security clear.
    if (ntlen == 0) {
        trace("[t3] anonymous (empty NT response)\n");
        *anonymous = 1;
        // An anonymous client that asked for key exchange signs with the key
        // it sent, encrypted under the all-zero session base key.
        if ((flags & F_KEY_EXCH) && ersk && ersklen == 16)
            decrypt_session_key(ersk, zero_key, key);
        return 0;
    }
    if ((flags & F_NTLM) && !(flags & F_ESS)) {
        trace("[t3] ntonly flags=%08x\n", flags);
        return -1;
    }
    if (ntlen < NT_MIN || ntlen > NT_MAX) {
        if (vl2_guest_allowed()) {
            trace("[t3] short blob -> guest\n");
            *anonymous = 1;
            return 0;
        }
        trace("[t3] ntlen %u\n", (unsigned)ntlen);
        return -1;
    }
    uint8_t proof[16];
    memcpy(proof, nt, 16);
    if (nt[16] != 1 || nt[17] != 1) {
        trace("[t3] blobver %02x%02x\n", nt[16], nt[17]);
        return -1;
    }

    char wire[129] = "";
    if (usrlen && (!usr || vl2_utf16_to_utf8(usr, usrlen, wire, sizeof wire) < 0))
        return -1;
    // Name test first: in the account loop only the matching account pays
    // for hashing.
    if (user[0] && !same_user(user, usr, usrlen, wire)) {
        if (tracing()) {
            char ew[4 * 129], eu[4 * 129];
            vl2_escape(wire, ew, sizeof ew);
            vl2_escape(user, eu, sizeof eu);
            trace("[t3] user mismatch wire='%s' want='%s'\n", ew, eu);
        }
        return 1;
    }

    const uint8_t *blob = nt + 16;
    size_t blen = ntlen - 16;
    const uint8_t *avs = blob + 28;
    size_t avlen = blen - 28;
    const uint8_t *val;
    size_t vlen;

    if (timecheck) {
        if (tracing())
            trace_walk(blob, blen);
        if (av_find(avs, avlen, AV_TIMESTAMP, &val, &vlen) != 0 || vlen != 8) {
            if (tracing()) {
                fprintf(stderr, "[t3] ts av blen=%zu blob:", blen);
                for (size_t i = 0; i < blen && i < 60; i++)
                    fprintf(stderr, " %02x", blob[i]);
                fprintf(stderr, "\n");
            }
            return -1;
        }
        uint64_t ft = (uint64_t)vl2_le32(val) | ((uint64_t)vl2_le32(val + 4) << 32);
        if (ft) {
            int64_t secs = (int64_t)(ft / 10000000ULL) - 11644473600LL;
            // Magnitude of secs - now without signed overflow.
            uint64_t skew = secs > now ? (uint64_t)secs - (uint64_t)now : (uint64_t)now - (uint64_t)secs;
            if (skew > (uint64_t)MAX_SKEW)
                return -1;
        }
    }

    char cut[61];
    uint8_t name[160];
    int nb = 0;
    if (server_name16(server_name, cut, name, &nb) != 0)
        return -1;
    if (av_find(avs, avlen, AV_NB_DOMAIN, &val, &vlen) != 0 || vlen != (size_t)nb ||
        !fold_equal(val, name, vlen)) {
        trace("[t3] nbdom av (dom=%s)\n", cut);
        return -1;
    }
    if (av_find(avs, avlen, AV_NB_COMPUTER, &val, &vlen) != 0 || vlen != (size_t)nb ||
        !fold_equal(val, name, vlen)) {
        trace("[t3] nbcomp av\n");
        return -1;
    }

    char domain[129] = "";
    if (dom && vl2_utf16_to_utf8(dom, domlen, domain, sizeof domain) < 0)
        domain[0] = 0;

    uint8_t nthash[16], ntowf[16];
    vl2_ntlm_hashes_dom(user, domain, password, nthash, ntowf);

    uint8_t input[8 + NT_MAX - 16];
    memcpy(input, challenge, 8);
    memcpy(input + 8, blob, blen);
    uint8_t calc[16];
    vl2_hmacmd5(ntowf, 16, input, 8 + blen, calc);
    if (!vl2_ct_equal(calc, proof, 16)) {
        if (tracing()) {
            char ew[4 * 129];
            vl2_escape(wire, ew, sizeof ew);
            trace("[t3] proof MISMATCH user='%s'\n", ew);
        }
        vl2_wipe(nthash, sizeof nthash);
        vl2_wipe(ntowf, sizeof ntowf);
        return 1;
    }

    uint8_t base[16];
    vl2_hmacmd5(ntowf, 16, proof, 16, base);
    vl2_wipe(nthash, sizeof nthash);
    vl2_wipe(ntowf, sizeof ntowf);
    if (flags & F_KEY_EXCH) {
        if (!ersk || ersklen != 16) {
            vl2_wipe(base, sizeof base);
            return -1;
        }
        decrypt_session_key(ersk, base, key);
    } else {
        memcpy(key, base, 16);
    }
    vl2_wipe(base, sizeof base);
    return 0;
}
