// Address, prefix and hex parsing: every accepted text must survive a trip
// through the formatter and the parser again.
#include "fuzz_common.h"

#include "util/util.h"

#include <cstdio>
#include <string>

namespace {
void ip(const char *t)
{
    vl2_ip a;
    if (vl2_ip_parse(t, &a) != 0) return;
    CHECK(a.family == 4 || a.family == 6);
    if (a.family == 4)
        for (int i = 4; i < 16; i++) CHECK(a.addr[i] == 0);
    char text[64];
    vl2_ip_format(&a, text, sizeof text);
    vl2_ip b;
    CHECK(vl2_ip_parse(text, &b) == 0 && vl2_ip_equal(&a, &b) == 1);
    char again[64];
    vl2_ip_format(&b, again, sizeof again);
    CHECK(strcmp(text, again) == 0);
    char small[8];
    vl2_ip_format(&a, small, sizeof small);
    CHECK(strlen(small) < sizeof small);
}

void cidr(const char *t)
{
    vl2_cidr c;
    if (vl2_cidr_parse(t, &c) != 0) return;
    const int max = c.ip.family == 4 ? 32 : 128;
    CHECK((c.ip.family == 4 || c.ip.family == 6) && c.prefix >= 0 && c.prefix <= max);
    for (int bit = c.prefix; bit < 128; bit++) CHECK(!(c.ip.addr[bit / 8] & (0x80 >> (bit % 8))));
    CHECK(vl2_cidr_match(&c, &c.ip) == 1);
    char text[64];
    vl2_ip_format(&c.ip, text, sizeof text);
    vl2_cidr d;
    CHECK(vl2_cidr_parse((std::string(text) + "/" + std::to_string(c.prefix)).c_str(), &d) == 0);
    CHECK(d.prefix == c.prefix && vl2_ip_equal(&c.ip, &d.ip) == 1);
}

void hex(const char *t, size_t n)
{
    size_t count = 99;
    if (vl2_hex_decode(t, n, nullptr, 0, &count) != 0) {
        CHECK(count == 0);
        return;
    }
    std::vector<uint8_t> out(count + 1);
    size_t got = 99;
    CHECK(vl2_hex_decode(t, n, out.data(), count, &got) == 0 && got == count);
    if (count > 0) CHECK(vl2_hex_decode(t, n, out.data(), count - 1, &got) == -1 && got == 0);
    vl2_buf b{};
    vl2_hex_encode(out.data(), count, &b);
    CHECK(!b.failed && b.len == 2 * count);
    std::vector<uint8_t> back(count + 1);
    CHECK(vl2_hex_decode((const char *)b.data, b.len, back.data(), count, &got) == 0 && got == count);
    CHECK(memcmp(back.data(), out.data(), count) == 0);
    vl2_buf_free(&b);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) return 0;
    const std::string t((const char *)data, strnlen((const char *)data, size));
    ip(t.c_str());
    cidr(t.c_str());
    hex((const char *)data, size);
    return 0;
}
