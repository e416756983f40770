// Shared set-up for the connection-loop and dispatcher tests.
#pragma once

#include "harness.h"

#include "cfg/cfg.h"
#include "sess/engine.h"
#include "vlsmb2s.h"

#include <gtest/gtest.h>

#include <cstring>

namespace eng {
using h::bytes;

// Restores every table, option, counter and test seam.
class Engine : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        vl2_cfg_reset_for_tests();
        memset(g_test_handlers, 0, sizeof g_test_handlers);
        g_reply_cap = (size_t)8 << 20;
    }
    static int64_t stat(vl2_stat_id id) { return vl2_stat_get(id); }
};

// ECHO request (64-byte header + 04 00 00 00).
inline bytes echo(uint64_t mid, uint32_t flags = 0, uint32_t next = 0, uint16_t credits = 1, uint16_t charge = 0)
{
    return h::cat(h::smb2_hdr(13, mid, 0, 0, flags, credits, next, charge), bytes{4, 0, 0, 0});
}

// A request with a body of n zero bytes.
inline bytes req(uint16_t cmd, uint64_t mid, size_t n = 8, uint32_t flags = 0, uint32_t next = 0, uint64_t sid = 0,
                 uint32_t tid = 0)
{
    return h::cat(h::smb2_hdr(cmd, mid, sid, tid, flags, 1, next), bytes(n, 0));
}

// Joins requests into one compound: each member is padded to 8 and its
// NextCommand set, except the last.
inline bytes compound(std::vector<bytes> parts)
{
    bytes out;
    for (size_t i = 0; i < parts.size(); i++) {
        bytes &p = parts[i];
        if (i + 1 < parts.size()) {
            while (p.size() % 8) p.push_back(0);
            vl2_put32(&p[20], (uint32_t)p.size());
        }
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Splits a reply into its responses by NextCommand.
inline std::vector<bytes> split(const bytes &reply)
{
    std::vector<bytes> out;
    size_t off = 0;
    while (off + 64 <= reply.size()) {
        uint32_t next = h::le32(reply, off + 20);
        size_t end = next ? off + next : reply.size();
        if (end > reply.size() || end <= off) end = reply.size();
        out.emplace_back(reply.begin() + off, reply.begin() + end);
        if (!next) break;
        off = end;
    }
    return out;
}

// NEGOTIATE offering 2.0.2: what every connection has to open with.
inline bytes negotiate_req(uint64_t mid = 0)
{
    bytes b = h::smb2_hdr(0, mid);
    bytes body(38, 0);
    body[0] = 36;  // StructureSize
    body[2] = 1;   // DialectCount
    body[4] = 1;   // SecurityMode: signing enabled
    body[36] = 0x02, body[37] = 0x02;
    return h::cat(b, body);
}

// One frame through the simulator after the opening NEGOTIATE; the replies
// to that frame.
inline std::vector<bytes> one(const bytes &body)
{
    std::vector<bytes> r = h::simulate({h::frame(negotiate_req()), h::frame(body)}).replies;
    if (!r.empty()) r.erase(r.begin());
    return r;
}
}  // namespace eng
