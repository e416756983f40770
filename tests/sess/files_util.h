// Helpers for the tree, create, read and query-info tests: a guest logon,
// request builders for the file commands and a scratch share on disk.
#pragma once

#include "harness.h"
#include "logon_util.h"

#include "../fs/tmptree.h"

#include "cfg/cfg.h"
#include "util/util.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fl {
using h::bytes;
using namespace smb2;

constexpr uint32_t GENERIC_READ = 0x80000000u, READ_ATTRIBUTES = 0x80u;

// NEGOTIATE, then a guest logon: a raw NTLM NEGOTIATE and an AUTHENTICATE
// with an empty NT response. large negotiates 2.1 (1 MiB reads), else 2.0.2.
inline std::vector<bytes> guest_logon(bool large = false)
{
    bytes type1 = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 1, 0, 0, 0};
    put32(type1, 0x00088207);
    type1.resize(32, 0);
    bytes type3 = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 3, 0, 0, 0};
    for (int i = 0; i < 6; i++) {  // six empty fields just after the header
        put16(type3, 0);
        put16(type3, 0);
        put32(type3, 64);
    }
    put32(type3, 0x00088205);
    std::vector<uint16_t> dialects = {0x0202};
    if (large) dialects.push_back(0x0210);
    return {lg::negotiate(dialects, 1, 0), lg::setup(1, 0, type1), lg::setup(2, 0, type3)};
}
constexpr size_t LOGON_REPLIES = 3;

inline bytes tree_disconnect(uint64_t mid, uint32_t tid) { return request(4, mid, {4, 0, 0, 0}, 0, tid); }

struct create_args {
    std::string name;
    uint32_t access = GENERIC_READ;
    uint32_t disp = 1;
    uint32_t opts = 0;
    uint32_t imp = 2;
    bytes contexts;  // placed 8-aligned after the name
};
inline bytes create(uint64_t mid, uint32_t tid, const create_args &a)
{
    bytes name = utf16(a.name), b;
    put16(b, 57);
    b.push_back(0);
    b.push_back(0);
    put32(b, a.imp);
    put64(b, 0);
    put64(b, 0);
    put32(b, a.access);
    put32(b, 0);
    put32(b, 7);
    put32(b, a.disp);
    put32(b, a.opts);
    put16(b, 120);
    put16(b, (uint16_t)name.size());
    size_t ctx_at = a.contexts.empty() ? 0 : (120 + name.size() + 7) / 8 * 8;
    put32(b, (uint32_t)ctx_at);
    put32(b, (uint32_t)a.contexts.size());
    b.insert(b.end(), name.begin(), name.end());
    if (name.empty()) b.push_back(0);
    if (ctx_at) {
        b.resize(ctx_at - 64, 0);
        b.insert(b.end(), a.contexts.begin(), a.contexts.end());
    }
    return request(5, mid, b, 0, tid);
}
inline bytes create(uint64_t mid, uint32_t tid, const std::string &name)
{
    create_args a;
    a.name = name;
    return create(mid, tid, a);
}
// One create context with a 4-byte name and data of dlen zero bytes.
inline bytes context(const char tag[4], uint32_t dlen, bool last = true)
{
    bytes c;
    uint32_t size = 24 + dlen;
    put32(c, last ? 0 : (size + 7) / 8 * 8);
    put16(c, 16);
    put16(c, 4);
    put16(c, 0);
    put16(c, dlen ? 24 : 0);
    put32(c, dlen);
    c.insert(c.end(), tag, tag + 4);
    put32(c, 0);
    c.resize(size, 0);
    if (!last) c.resize((size + 7) / 8 * 8, 0);
    return c;
}
inline bytes close_req(uint64_t mid, uint32_t tid, uint64_t fid)
{
    bytes b;
    put16(b, 24);
    put16(b, 0);
    put32(b, 0);
    put64(b, fid);
    put64(b, 0);
    return request(6, mid, b, 0, tid);
}
inline bytes read_req(uint64_t mid, uint32_t tid, uint64_t fid, uint32_t len, uint64_t off, uint32_t channel = 0,
                      uint32_t min_count = 0)
{
    bytes b;
    put16(b, 49);
    b.push_back(80);
    b.push_back(0);
    put32(b, len);
    put64(b, off);
    put64(b, fid);
    put64(b, 0);
    put32(b, min_count);
    put32(b, channel);
    put32(b, 0);
    put32(b, 0);
    b.push_back(0);
    return request(8, mid, b, 0, tid);
}
// QUERY_DIRECTORY body; the name sits at header offset 96.
inline bytes query_directory_body(uint8_t cls, uint8_t flags, const std::string &pattern, uint32_t out_cap,
                                  uint64_t fid, uint32_t index = 0, uint16_t ssz = 33)
{
    bytes name = utf16(pattern), b;
    put16(b, ssz);
    b.push_back(cls);
    b.push_back(flags);
    put32(b, index);
    put64(b, fid);
    put64(b, 0);
    put16(b, name.empty() ? 0 : 96);
    put16(b, (uint16_t)name.size());
    put32(b, out_cap);
    b.insert(b.end(), name.begin(), name.end());
    if (name.empty()) b.push_back(0);
    return b;
}
inline bytes query_info(uint64_t mid, uint32_t tid, uint64_t fid, uint8_t type, uint8_t cls, uint32_t obuf,
                        uint32_t addl = 0)
{
    bytes b;
    put16(b, 41);
    b.push_back(type);
    b.push_back(cls);
    put32(b, obuf);
    put16(b, 0);
    put16(b, 0);
    put32(b, 0);
    put32(b, addl);
    put32(b, 0);
    put64(b, fid);
    put64(b, 0);
    return request(16, mid, b, 0, tid);
}

// Feeds every frame at once through the real connection loop; the replies
// after the logon's.
inline std::vector<bytes> talk(std::vector<bytes> frames, bool large = false)
{
    std::vector<bytes> all = guest_logon(large);
    all.insert(all.end(), frames.begin(), frames.end());
    bool sent = false;
    auto replies = h::converse([&](const std::vector<bytes> &) {
        if (sent) return std::vector<bytes>{};
        sent = true;
        return all;
    });
    EXPECT_GE(replies.size(), LOGON_REPLIES);
    if (replies.size() >= LOGON_REPLIES) {
        EXPECT_EQ(SUCCESS, h::status(replies[LOGON_REPLIES - 1]));
    }
    replies.erase(replies.begin(), replies.begin() + std::min(replies.size(), LOGON_REPLIES));
    return replies;
}

inline bytes body(const bytes &reply) { return reply.size() > 64 ? bytes(reply.begin() + 64, reply.end()) : bytes(); }

// A share "media" on a fresh folder, guest logons on, a fixed clock.
class FilesTest : public ::testing::Test {
protected:
    tmptree tree;
    void SetUp() override
    {
        vl2_cfg_reset_for_tests();
        ASSERT_EQ(0, vlsmb2s_set_option("guest", "on"));
        ASSERT_EQ(0, vlsmb2s_set_option("clock", "1700000000"));
        ASSERT_TRUE(tree.dir("media"));
        ASSERT_EQ(0, vlsmb2s_add_share("media", tree.at("media").c_str()));
    }
    void TearDown() override { vl2_cfg_reset_for_tests(); }
    int64_t stat(vl2_stat_id id) { return vl2_stat_get(id); }
};

}  // namespace fl
