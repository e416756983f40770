#include "harness.h"

#include "sess/sess.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <cstring>

namespace h {

bytes smb2_hdr(uint16_t cmd, uint64_t mid, uint64_t sid, uint32_t tid, uint32_t flags, uint16_t credit_req,
               uint32_t next, uint16_t charge)
{
    bytes b(64, 0);
    b[0] = 0xFE;
    b[1] = 'S';
    b[2] = 'M';
    b[3] = 'B';
    vl2_put16(&b[4], 64);
    vl2_put16(&b[6], charge);
    vl2_put16(&b[12], cmd);
    vl2_put16(&b[14], credit_req);
    vl2_put32(&b[16], flags);
    vl2_put32(&b[20], next);
    vl2_put64(&b[24], mid);
    vl2_put32(&b[36], tid);
    vl2_put64(&b[40], sid);
    return b;
}

bytes frame(const bytes &body)
{
    bytes f = {0, (uint8_t)(body.size() >> 16), (uint8_t)(body.size() >> 8), (uint8_t)body.size()};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

std::string hex(const bytes &b)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

bytes unhex(const std::string &s)
{
    bytes out;
    int hi = -1;
    for (char c : s) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0)
            hi = v;
        else {
            out.push_back((uint8_t)(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

bytes cat(const bytes &a, const bytes &b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

uint16_t le16(const bytes &b, size_t off) { return off + 2 <= b.size() ? vl2_le16(&b[off]) : 0; }
uint32_t le32(const bytes &b, size_t off) { return off + 4 <= b.size() ? vl2_le32(&b[off]) : 0; }
uint64_t le64(const bytes &b, size_t off) { return off + 8 <= b.size() ? vl2_le64(&b[off]) : 0; }

SimResult simulate_script(const std::string &script, const char *ip)
{
    SimResult r;
    const char *t = vlsmb2s_simulate(script.c_str(), ip);
    if (!t) return r;
    r.text = t;
    size_t p = 0;
    while (p < r.text.size()) {
        size_t e = r.text.find('\n', p);
        if (e == std::string::npos) e = r.text.size();
        std::string line = r.text.substr(p, e - p);
        if (line.rfind("<< ", 0) == 0) r.replies.push_back(unhex(line.substr(3)));
        r.lines.push_back(line);
        p = e + 1;
    }
    return r;
}

SimResult simulate(const std::vector<bytes> &frames, const char *ip)
{
    std::string script;
    for (const bytes &f : frames) script += hex(f) + "\n";
    return simulate_script(script, ip);
}

namespace {
struct conv {
    std::function<std::vector<bytes>(const std::vector<bytes> &)> next;
    bytes in;
    size_t pos = 0;
    bool ended = false;
    bytes out;  // written stream, cut into frames as it grows
    std::vector<bytes> replies;
    int guard = 0;
};

void cut(conv *c)
{
    while (c->out.size() >= 4) {
        size_t n = ((size_t)c->out[1] << 16) | ((size_t)c->out[2] << 8) | c->out[3];
        if (c->out.size() < 4 + n) return;
        if (c->out[0] == 0) c->replies.emplace_back(c->out.begin() + 4, c->out.begin() + 4 + n);
        c->out.erase(c->out.begin(), c->out.begin() + 4 + n);
    }
}

int c_write(void *ctx, const uint8_t *b, int32_t n)
{
    conv *c = (conv *)ctx;
    c->out.insert(c->out.end(), b, b + n);
    cut(c);
    return 0;
}

int c_read(void *ctx, uint8_t *buf, int32_t count, int)
{
    conv *c = (conv *)ctx;
    while (c->pos >= c->in.size()) {
        if (c->ended || ++c->guard > 100000) return 0;
        std::vector<bytes> more = c->next(c->replies);
        c->in.clear();
        c->pos = 0;
        if (more.empty()) {
            c->ended = true;
            return 0;
        }
        for (const bytes &f : more) c->in.insert(c->in.end(), f.begin(), f.end());
    }
    size_t n = std::min((size_t)count, c->in.size() - c->pos);
    memcpy(buf, c->in.data() + c->pos, n);
    c->pos += n;
    return (int)n;
}
}  // namespace

std::vector<bytes> converse(std::function<std::vector<bytes>(const std::vector<bytes> &)> next, const char *ip)
{
    conv c;
    c.next = std::move(next);
    vl2_io io = {};
    io.ctx = &c;
    io.write = c_write;
    io.read = c_read;
    vl2_ip peer = {};
    vl2_ip_parse(ip ? ip : "127.0.0.1", &peer);
    vl2_sess_run(&io, &peer, 0);
    return c.replies;
}

uint32_t status(const bytes &reply_body, size_t hdr_off)
{
    return hdr_off + 12 <= reply_body.size() ? vl2_le32(&reply_body[hdr_off + 8]) : 0xFFFFFFFFu;
}

}  // namespace h
