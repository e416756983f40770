// The connection loop over an in-memory transport. The transport first hands
// out a fixed valid conversation that brings the connection into the state
// chosen at build time (VL2_FUZZ_STATE), then the fuzzed bytes:
//   0 fresh; 1 negotiated; 2 logged on as guest; 3 logged on with a disk
//   tree, an open file, an open folder and the srvsvc pipe open.
// With VL2_FUZZ_SIGN the harness signs the fuzzed requests (state 3); with
// VL2_FUZZ_TRACE the trace lines are formatted too; with VL2_FUZZ_SMB3 the
// server speaks up to 3.1.1 and encrypts where it can, so the fuzzed
// NEGOTIATE's contexts and the logon's keys are reached.
// Oracle beyond the sanitizers: no reply may ever carry the content or the
// name of a file that lies outside the share (reached through a link).
#include "fuzz_common.h"

#include "cfg/cfg.h"
#include "crypto/crypto.h"
#include "sess/sess.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VL2_FUZZ_STATE
#define VL2_FUZZ_STATE 3
#endif
// 1: the harness signs the fuzzed requests that carry the signed flag.
#ifndef VL2_FUZZ_SIGN
#define VL2_FUZZ_SIGN 0
#endif
// 1: the connection traces (run with -close_fd_mask=2 to drop the lines).
#ifndef VL2_FUZZ_TRACE
#define VL2_FUZZ_TRACE 0
#endif
#ifndef VL2_FUZZ_SMB3
#define VL2_FUZZ_SMB3 0
#endif

namespace {
using fz::bytes;

const char CANARY_TEXT[] = "VL2-CANARY-CONTENT";
const char CANARY_NAME[] = "vl2canary.txt";

struct mem {
    const uint8_t *a;  // the fixed conversation
    size_t na;
    const uint8_t *b;  // the fuzzed bytes
    size_t nb;
    size_t pos;
    // Set only while the conversation is built at start-up.
    std::function<bytes(const std::vector<bytes> &)> more;
    bytes pending;
    std::vector<bytes> replies;
};

int mem_read(void *ctx, uint8_t *buf, int32_t count, int)
{
    mem *m = (mem *)ctx;
    if (count <= 0) return 0;
    if (m->more && m->pos >= m->pending.size()) {
        bytes next = m->more(m->replies);
        m->pending.insert(m->pending.end(), next.begin(), next.end());
    }
    const size_t total = m->more ? m->pending.size() : m->na + m->nb;
    if (m->pos >= total) return 0;
    size_t n = 0;
    while (n < (size_t)count && m->pos < total) {
        size_t p = m->pos;
        uint8_t c = m->more ? m->pending[p] : p < m->na ? m->a[p] : m->b[p - m->na];
        buf[n++] = c;
        m->pos++;
    }
    return (int)n;
}

int mem_write(void *, const uint8_t *, int32_t) { return 0; }

// A plain loop rather than memmem: libFuzzer hooks memmem and would learn
// the canary from it and then feed it to the server, which echoes it.
bool contains(const uint8_t *p, int64_t n, const void *needle, size_t k)
{
    const uint8_t *q = (const uint8_t *)needle;
    for (int64_t i = 0; i + (int64_t)k <= n; i++) {
        size_t j = 0;
        while (j < k && p[i + j] == q[j]) j++;
        if (j == k) return true;
    }
    return false;
}

// The canary is in a reply and did not come from the client's bytes.
bool leaked(const mem *m, const uint8_t *reply, int64_t count, const void *needle, size_t k)
{
    return contains(reply, count, needle, k) && !contains(m->b, (int64_t)m->nb, needle, k);
}

bytes g_name16;  // CANARY_NAME in UTF-16LE
volatile uint8_t g_sink;
bool g_dump;

void mem_log(void *ctx, const char *dir, const uint8_t *bytes_, int64_t count)
{
    mem *m = (mem *)ctx;
    if (dir[0] != '<' || count < 0) return;
    // Touch every byte so the sanitizer checks the whole reply is in bounds.
    uint8_t sum = 0;
    for (int64_t i = 0; i < count; i++) sum ^= bytes_[i];
    g_sink = sum;
    if (leaked(m, bytes_, count, CANARY_TEXT, sizeof CANARY_TEXT - 1) ||
        leaked(m, bytes_, count, g_name16.data(), g_name16.size())) {
        fprintf(stderr, "fuzz: a reply carries a file from outside the share\n");
        abort();
    }
    if (m->more) m->replies.emplace_back(bytes_, bytes_ + count);
    // Corpus upkeep: VL2_FUZZ_DUMP=1 shows what each seed's requests got.
    if (g_dump && !m->more)
        for (int64_t off = 0; count - off >= 64;) {
            fprintf(stderr, "fuzz: reply cmd %u status %08x\n", vl2_le16(bytes_ + off + 12),
                    vl2_le32(bytes_ + off + 8));
            uint32_t next = vl2_le32(bytes_ + off + 20);
            if (!next) break;
            off += next;
        }
}

void put_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        abort();
    }
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string g_root;  // temp folder: share/ and outside/

void remove_tree() { (void)!system(("rm -rf '" + g_root + "'").c_str()); }

// A small share: files, a folder two deep, a non-ASCII name, a link that
// stays inside and one that leads outside the share.
std::string make_share()
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vl2fuzz.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    g_root = tmpl;
    atexit(remove_tree);
    const std::string share = g_root + "/share", out = g_root + "/outside";
    mkdir(share.c_str(), 0755);
    mkdir(out.c_str(), 0755);
    mkdir((share + "/sub").c_str(), 0755);
    mkdir((share + "/sub/deeper").c_str(), 0755);
    put_file(share + "/a.txt", std::string(600, 'a'));
    put_file(share + "/b.bin", std::string(70000, 'b'));
    put_file(share + "/sub/c.txt", "cee\n");
    put_file(share + "/\xc3\xbcn\xc3\xaf.txt", "u\n");
    put_file(out + "/" + CANARY_NAME, CANARY_TEXT);
    if (symlink("sub", (share + "/in_link").c_str()) != 0 ||
        symlink("../outside", (share + "/out_link").c_str()) != 0 ||
        symlink(("../outside/" + std::string(CANARY_NAME)).c_str(), (share + "/out_file").c_str()) != 0)
        abort();
    return share;
}

// Signs every request of every whole frame that has the signed flag, so the
// fuzzer gets past the signature check. A guest session's key is all zero.
// Compound members are signed last to first: a member's signed range may
// cover the members after it.
void sign_frames(std::vector<uint8_t> &d)
{
    static const uint8_t key[16] = {};
    for (size_t pos = 0; pos + 4 <= d.size();) {
        const size_t len = (size_t)d[pos + 1] << 16 | (size_t)d[pos + 2] << 8 | d[pos + 3];
        if (d[pos] != 0 || pos + 4 + len > d.size()) break;
        uint8_t *f = &d[pos + 4];
        std::vector<std::pair<size_t, size_t>> parts;
        for (size_t off = 0; len - off >= 64 && parts.size() < 64;) {
            const uint32_t next = vl2_le32(f + off + 20);
            const size_t left = len - off;
            size_t end = len;
            if (next >= 64 && next <= left) end = off + next;
            if (vl2_le32(f + off + 16) & 8) parts.emplace_back(off, end);
            if (next == 0 || next > left) break;
            off += next;
        }
        for (size_t i = parts.size(); i-- > 0;) {
            uint8_t mac[32];
            memset(f + parts[i].first + 48, 0, 16);
            vl2_hmac256(key, sizeof key, f + parts[i].first, parts[i].second - parts[i].first, mac);
            memcpy(f + parts[i].first + 48, mac, 16);
        }
        pos += 4 + len;
    }
}

uint32_t st_of(const bytes &r) { return r.size() >= 12 ? vl2_le32(&r[8]) : 0xFFFFFFFFu; }

bytes g_prefix;
vl2_ip g_peer;

// One connection that plays the conversation step by step, each request
// built from the replies so far, and checks every step's status.
void build_prefix()
{
    struct ids {
        uint64_t sid = 0, file = 0, dir = 0, pipe = 0;
        uint32_t disk = 0, ipc = 0;
    } id;
    struct step {
        std::function<bytes()> req;
        uint32_t want;
    };
    std::vector<step> steps;
    if (VL2_FUZZ_STATE >= 1) steps.push_back({[] { return fz::negotiate(0); }, 0});
    if (VL2_FUZZ_STATE >= 2) {
        steps.push_back({[] { return fz::session_setup(1, 0, fz::ntlm_negotiate()); }, 0xC0000016u});
        steps.push_back({[&] { return fz::session_setup(2, id.sid, fz::ntlm_anonymous()); }, 0});
    }
    if (VL2_FUZZ_STATE >= 3) {
        steps.push_back({[&] { return fz::tree_connect(3, id.sid, "\\\\127.0.0.1\\share"); }, 0});
        steps.push_back({[&] { return fz::create(4, id.sid, id.disk, "a.txt", false); }, 0});
        steps.push_back({[&] { return fz::create(5, id.sid, id.disk, "sub", true); }, 0});
        steps.push_back({[&] { return fz::tree_connect(6, id.sid, "\\\\127.0.0.1\\IPC$"); }, 0});
        steps.push_back({[&] { return fz::create(7, id.sid, id.ipc, "srvsvc", false); }, 0});
    }
    if (VL2_FUZZ_SIGN)
        steps.push_back({[&] {
                             bytes e = fz::hdr(13, 8, id.sid);
                             e[16] |= 8;
                             fz::p32(e, 4);
                             bytes f = fz::frame(e);
                             sign_frames(f);
                             return f;
                         },
                         0});

    mem m{};
    size_t k = 0;
    m.more = [&](const std::vector<bytes> &replies) -> bytes {
        if (k > 0) {
            if (replies.size() != k || st_of(replies[k - 1]) != steps[k - 1].want) {
                fprintf(stderr, "fuzz: conversation step %zu failed (status %08x)\n", k,
                        replies.size() == k ? st_of(replies[k - 1]) : 0xFFFFFFFFu);
                abort();
            }
            const bytes &r = replies[k - 1];
            if (k == 2) id.sid = vl2_le64(&r[40]);
            if (k == 4) id.disk = vl2_le32(&r[36]);
            if (k == 5) id.file = vl2_le64(&r[64 + 64]);
            if (k == 6) id.dir = vl2_le64(&r[64 + 64]);
            if (k == 7) id.ipc = vl2_le32(&r[36]);
            if (k == 8) id.pipe = vl2_le64(&r[64 + 64]);
        }
        if (k == steps.size()) return bytes();
        bytes f = steps[k++].req();
        g_prefix.insert(g_prefix.end(), f.begin(), f.end());
        return f;
    };
    vl2_io io{&m, mem_write, mem_read, mem_log, nullptr, nullptr};
    vl2_sess_run(&io, &g_peer, 0);
    if (k != steps.size() || m.replies.size() != k) {
        fprintf(stderr, "fuzz: conversation ended early at step %zu\n", k);
        abort();
    }
    if (getenv("VL2_FUZZ_SHOW_IDS"))
        fprintf(stderr, "fuzz: sid=%016llx disk=%u ipc=%u file=%llx dir=%llx pipe=%llx\n", (unsigned long long)id.sid,
                id.disk, id.ipc, (unsigned long long)id.file, (unsigned long long)id.dir, (unsigned long long)id.pipe);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (const char *v : {"VLSMB2S_TRACE", "VLSMB2S_RAW_NTLM_NEGO", "VLSMB2S_SHORT_MECHTOK", "VLSMB2S_EMPTY_MECHTOK",
                          "VLSMB2S_NO_MECHTOK", "VLSMB2S_SAMBA_TOKEN"})
        unsetenv(v);
    g_name16 = fz::utf16(CANARY_NAME);
    g_dump = getenv("VL2_FUZZ_DUMP") != nullptr;
    if (vl2_ip_parse("127.0.0.1", &g_peer) != 0) abort();
    // A fixed clock makes the challenge, the ids and so the seeds repeatable.
    if (vlsmb2s_set_option("clock", "1700000000") != 0) abort();
    if (VL2_FUZZ_SMB3 &&
        (vlsmb2s_set_option("max_protocol", "3.1.1") != 0 || vlsmb2s_set_option("encryption", "desired") != 0))
        abort();
    const std::string share = make_share();
    if (vlsmb2s_add_share("share", share.c_str()) != 0 || vlsmb2s_add_share("one", (share + "/a.txt").c_str()) != 0) {
        fprintf(stderr, "fuzz: add_share: %s\n", vlsmb2s_last_error());
        abort();
    }
    build_prefix();
    if (VL2_FUZZ_TRACE) setenv("VLSMB2S_TRACE", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mem m{};
    m.a = g_prefix.data();
    m.na = g_prefix.size();
    m.b = data;
    m.nb = size;
#if VL2_FUZZ_SIGN
    std::vector<uint8_t> signed_copy(data, data + size);
    sign_frames(signed_copy);
    m.b = signed_copy.data();
#endif
    vl2_io io{&m, mem_write, mem_read, mem_log, nullptr, nullptr};
    // Run as an offline conversation: the failed logons of one input must
    // not throttle the logon that the next input's prefix makes.
    vl2_sess_run_offline(&io, &g_peer, 0);
    return 0;
}
