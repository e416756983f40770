// vlsmb2s_simulate: replays a hex script through one connection over an
// in-memory transport and returns the transcript.
#include "vlsmb2s.h"

#include "cfg/cfg.h"
#include "exports/exports.h"
#include "sess/sess.h"
#include "util/util.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t MAX_LINE = 65535;
constexpr size_t MAX_RAW = 16384;
constexpr uint64_t TRANSCRIPT_CAP = 2097152;

struct vl2_sim {
    const uint8_t *in;
    size_t in_len;
    size_t pos;
    vl2_buf transcript;
    int truncated;
    long long frames;
};

int sim_read(void *ctx, uint8_t *buf, int32_t count, int)
{
    vl2_sim *m = (vl2_sim *)ctx;
    if (count <= 0 || m->pos >= m->in_len) return 0;
    size_t n = m->in_len - m->pos;
    if (n > (size_t)count) n = (size_t)count;
    memcpy(buf, m->in + m->pos, n);
    m->pos += n;
    return (int)n;
}

int sim_write(void *, const uint8_t *, int32_t) { return 0; }

// Whether a piece of n bytes may still be appended; the first piece that
// would pass the cap is replaced by the marker and ends the writing.
bool room(vl2_sim *m, uint64_t n)
{
    if (m->truncated) return false;
    if (m->transcript.len + n > TRANSCRIPT_CAP) {
        vl2_buf_str(&m->transcript, "[truncated]\n");
        m->truncated = 1;
        return false;
    }
    return true;
}

void piece(vl2_sim *m, const char *text, size_t n)
{
    if (room(m, n)) vl2_buf_put(&m->transcript, text, n);
}

void sim_log_frame(void *ctx, const char *dir, const uint8_t *bytes, int64_t count)
{
    vl2_sim *m = (vl2_sim *)ctx;
    if (count < 0) return;
    if (dir[0] == '>') {
        char line[64];
        int n = snprintf(line, sizeof line, ">> %s\n", vl2_frame_name(bytes, (size_t)count));
        piece(m, line, (size_t)n);
        return;
    }
    m->frames++;
    piece(m, "<< ", 3);
    if (count > 0 && room(m, 2 * (uint64_t)count)) vl2_hex_encode(bytes, (size_t)count, &m->transcript);
    piece(m, "\n", 1);
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Adds one script line to the input; 0, or -1 with the message recorded.
int add_line(vl2_buf *in, const char *line, size_t n)
{
    if (n > MAX_LINE) return vl2_fail(-1, "simulate: script line too long");
    while (n > 0 && blank(line[n - 1])) n--;
    if (n == 0 || line[0] == '#') return 0;
    bool raw = line[0] == '!';
    const char *hex = raw ? line + 1 : line;
    size_t hn = raw ? n - 1 : n;
    size_t count = 0;
    if (vl2_hex_decode(hex, hn, nullptr, 0, &count) != 0) {
        if (raw) return 0;
        return vl2_fail(-1, "simulate: bad frame hex on a script line");
    }
    if (raw && count > MAX_RAW) return vl2_fail(-1, "simulate: bad !raw hex");
    if (!raw && count < 4) return vl2_fail(-1, "simulate: bad frame hex on a script line");
    if (vl2_buf_reserve(in, count) < 0) return vl2_fail(-1, "out of memory");
    vl2_hex_decode(hex, hn, in->data + in->len, count, nullptr);
    vl2_buf_commit(in, count);
    return 0;
}

}  // namespace

const char *vlsmb2s_simulate(const char *script, const char *client_ip)
{
    if (!script) {
        vl2_set_error("simulate: NULL script");
        return nullptr;
    }
    const char *iptext = client_ip && *client_ip ? client_ip : "127.0.0.1";
    vl2_ip ip;
    if (vl2_ip_parse(iptext, &ip) != 0) {
        vl2_set_error("simulate: %.64s is not an IP address", iptext);
        return nullptr;
    }
    if (!vl2_client_allowed(&ip)) {
        vl2_stat_add(VL2_ST_REFUSED_ALLOW, 1);
        vl2_buf b = {};
        vl2_buf_str(&b, "refused: client address not allowed\n");
        const char *t = vl2_out_set(&b);
        if (!t) vl2_set_error("out of memory");
        return t;
    }

    vl2_buf in = {};
    for (const char *p = script;;) {
        const char *e = strchr(p, '\n');
        size_t n = e ? (size_t)(e - p) : strlen(p);
        if (add_line(&in, p, n) != 0) {
            vl2_buf_free(&in);
            return nullptr;
        }
        if (!e) break;
        p = e + 1;
    }
    if (in.failed) {
        vl2_buf_free(&in);
        vl2_set_error("out of memory");
        return nullptr;
    }

    vl2_sim m = {};
    m.in = in.data;
    m.in_len = (size_t)in.len;
    vl2_io io = {};
    io.ctx = &m;
    io.read = sim_read;
    io.write = sim_write;
    io.log_frame = sim_log_frame;
    vl2_sess_run_offline(&io, &ip, 0);
    vl2_buf_free(&in);

    vl2_buf_printf(&m.transcript, "RESULT ok (%lld frames)\n", m.frames);
    if (m.transcript.failed) {
        vl2_buf_free(&m.transcript);
        vl2_set_error("out of memory");
        return nullptr;
    }
    return vl2_out_set(&m.transcript);
}
