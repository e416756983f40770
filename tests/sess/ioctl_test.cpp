// IOCTL and the srvsvc pipe through the real loop: negotiate validation,
// refusals, DCE/RPC bind and share enumeration by transceive and by
// WRITE + READ.
#include "files_util.h"

using namespace fl;

namespace {

constexpr uint32_t VALIDATE = 0x00140204, TRANSCEIVE = 0x0011C017;
constexpr uint64_t ONES = ~0ull;
constexpr uint64_t PIPE = 0x21;  // first CREATE after the IPC$ tree (id 1)

bytes ioctl_body(uint32_t ctl, uint64_t fid_p, const bytes &input, uint64_t fid_v = 0, uint16_t ssz = 57,
                 uint32_t max_out = 4280)
{
    bytes b;
    put16(b, ssz);
    put16(b, 0);
    put32(b, ctl);
    put64(b, fid_p);
    put64(b, fid_v);
    put32(b, 120);
    put32(b, (uint32_t)input.size());
    put32(b, 0);
    put32(b, 0);
    put32(b, 0);
    put32(b, max_out);
    put32(b, 1);
    put32(b, 0);
    return h::cat(b, input);
}
bytes ioctl(uint64_t mid, uint32_t ctl, uint64_t fid_p, const bytes &input = {}, uint64_t fid_v = 0)
{
    return request(11, mid, ioctl_body(ctl, fid_p, input, fid_v), 0, 1);
}
bytes write_req(uint64_t mid, uint64_t fid, const bytes &data, uint32_t tid = 1)
{
    bytes b;
    put16(b, 49);
    put16(b, 112);
    put32(b, (uint32_t)data.size());
    put64(b, 0);
    put64(b, fid);
    put64(b, 0);
    put32(b, 0);
    put32(b, 0);
    put16(b, 0);
    put16(b, 0);
    put32(b, 0);
    return request(9, mid, h::cat(b, data), 0, tid);
}

// ---- DCE/RPC, written from the protocol's layouts ---------------------------
const bytes SRVSVC = h::unhex("c84f324b7016d30112785a47bf6ee188 03000000");
const bytes NDR = h::unhex("045d888aeb1cc9119fe808002b104860 02000000");

bytes pdu(uint8_t ptype, uint32_t call_id, const bytes &rest, uint8_t flags = 3)
{
    bytes b = {5, 0, ptype, flags, 0x10, 0, 0, 0};
    put16(b, (uint16_t)(16 + rest.size()));
    put16(b, 0);
    put32(b, call_id);
    return h::cat(b, rest);
}
bytes bind(uint32_t call_id)
{
    bytes b;
    put16(b, 4280);
    put16(b, 4280);
    put32(b, 0);
    b.push_back(1);
    b.insert(b.end(), 3, 0);
    put16(b, 0);  // context id
    b.push_back(1);
    b.push_back(0);
    b = h::cat(h::cat(b, SRVSVC), NDR);
    return pdu(11, call_id, b);
}
bytes bind_ack(uint32_t call_id)
{
    bytes b;
    put16(b, 4280);
    put16(b, 4280);
    put32(b, 0);
    put16(b, 0);
    put16(b, 0);  // pad
    b.push_back(1);
    b.insert(b.end(), 3, 0);
    put16(b, 0);
    put16(b, 0);
    return pdu(12, call_id, h::cat(b, NDR));
}
void ndr_str(bytes &b, const std::string &utf8)
{
    bytes u = utf16(utf8);
    u.push_back(0);
    u.push_back(0);
    put32(b, (uint32_t)u.size() / 2);
    put32(b, 0);
    put32(b, (uint32_t)u.size() / 2);
    b.insert(b.end(), u.begin(), u.end());
    while (b.size() % 4) b.push_back(0);
}
// NetrShareEnumAll request stub: server name, level, empty container,
// preferred length, no resume handle.
bytes enum_stub(uint32_t level, bool server = true)
{
    bytes b;
    if (server) {
        put32(b, 0x00020000);
        ndr_str(b, "\\\\srv");
    } else {
        put32(b, 0);
    }
    put32(b, level);
    put32(b, level);
    put32(b, 0x00020004);
    put32(b, 0);
    put32(b, 0);
    put32(b, 0xFFFFFFFF);
    put32(b, 0);
    return b;
}
bytes rpc_request(uint32_t call_id, uint16_t opnum, const bytes &stub, uint16_t ctx = 0)
{
    bytes b;
    put32(b, (uint32_t)stub.size());
    put16(b, ctx);
    put16(b, opnum);
    return pdu(0, call_id, h::cat(b, stub));
}
bytes response(uint32_t call_id, const bytes &stub, uint16_t ctx = 0)
{
    bytes b;
    put32(b, 0);
    put16(b, ctx);
    put16(b, 0);
    return pdu(2, call_id, h::cat(b, stub));
}
struct share {
    std::string name;
    uint32_t type;
    std::string remark;
};
bytes share_list(const std::vector<share> &shares)
{
    uint32_t n = (uint32_t)shares.size();
    bytes b;
    put32(b, 1);
    put32(b, 1);
    put32(b, 0x00020000);
    put32(b, n);
    put32(b, 0x00020004);
    put32(b, n);
    for (uint32_t i = 0; i < n; i++) {
        put32(b, 0x00022000 + 4 * i);
        put32(b, shares[i].type);
        put32(b, 0x00024000 + 4 * i);
    }
    for (auto &s : shares) {
        ndr_str(b, s.name);
        ndr_str(b, s.remark);
    }
    put32(b, n);
    put32(b, 0);
    put32(b, 0);
    return b;
}
bytes transceive_body(uint64_t fid, const bytes &out)
{
    bytes b;
    put16(b, 49);
    put16(b, 0);
    put32(b, TRANSCEIVE);
    put64(b, fid);
    put64(b, 0);
    put32(b, 112);
    put32(b, 0);
    put32(b, 112);
    put32(b, (uint32_t)out.size());
    put32(b, 0);
    put32(b, 0);
    return h::cat(b, out);
}

class Ioctl : public FilesTest {
protected:
    void SetUp() override
    {
        FilesTest::SetUp();
        ASSERT_TRUE(tree.dir("docs"));
        ASSERT_EQ(0, vlsmb2s_add_share("docs", tree.at("docs").c_str()));
    }
    // Logon, tree 1 on IPC$, the pipe (0x21), then frames.
    std::vector<bytes> on_pipe(std::vector<bytes> frames)
    {
        std::vector<bytes> all = {tree_connect(3, "IPC$"), create(4, 1, "srvsvc")};
        all.insert(all.end(), frames.begin(), frames.end());
        auto r = talk(all);
        EXPECT_EQ(all.size(), r.size());
        if (r.size() >= 2) {
            EXPECT_EQ(SUCCESS, h::status(r[1]));
            r.erase(r.begin(), r.begin() + 2);
        }
        return r;
    }
    const std::vector<share> three = {
        {"IPC$", 3, "IPC share"}, {"docs", 0, "read-only share"}, {"media", 0, "read-only share"}};
};

TEST_F(Ioctl, ValidateNegotiateNeedsNoSession)
{
    bytes v = ioctl_body(VALIDATE, 0x1234, bytes(24, 0x55), 0x99);
    auto before = h::simulate({request(11, 7, v)}).replies;
    auto after = h::simulate({lg::negotiate({0x0202, 0x0210}, 1, 4), request(11, 7, v)}).replies;
    EXPECT_EQ(0u, before.size()) << "nothing is answered before NEGOTIATE";
    ASSERT_EQ(2u, after.size());
    auto want = [](uint32_t caps, uint64_t seed, uint16_t dialect, uint16_t secmode = 1) {
        bytes b;
        put16(b, 49);
        put16(b, 0);
        put32(b, VALIDATE);
        put64(b, 0x1234);
        put64(b, ONES);
        put32(b, 0);
        put32(b, 0);
        put32(b, 112);
        put32(b, 24);
        put32(b, 0);
        put32(b, 0);
        put32(b, caps);
        put64(b, seed);
        put64(b, seed ^ 0x564C4D4232ull);
        put16(b, secmode);
        put16(b, dialect);
        return b;
    };
    EXPECT_EQ(SUCCESS, h::status(after[1]));
    EXPECT_EQ(h::hex(want(4, lg::guid_seed(), 0x0210)), h::hex(body(after[1])));

    // With signing required it repeats what NEGOTIATE announced: 0x0003.
    ASSERT_EQ(0, vlsmb2s_set_option("signing", "required"));
    auto req_sign = h::simulate({lg::negotiate({0x0202, 0x0210}, 1, 4), request(11, 7, v)}).replies;
    ASSERT_EQ(2u, req_sign.size());
    EXPECT_EQ(3, h::le16(req_sign[0], 64 + 2));
    EXPECT_EQ(h::hex(want(4, lg::guid_seed(), 0x0210, 3)), h::hex(body(req_sign[1])));
}

// On 3.x the request must repeat the client's NEGOTIATE (lg::negotiate_body
// sends ClientGuid A0..AF) and lead to the same dialect; anything else ends
// the connection, and 3.1.1 never validates this way.
TEST_F(Ioctl, ValidateNegotiateChecksTheClientsSideOn3x)
{
    ASSERT_EQ(0, vlsmb2s_set_option("max_protocol", "3.1.1"));
    auto info = [](uint32_t caps, uint8_t guid0, uint16_t secmode, std::vector<uint16_t> dialects) {
        bytes b;
        put32(b, caps);
        for (int i = 0; i < 16; i++) b.push_back((uint8_t)(i == 0 ? guid0 : 0xA0 + i));
        put16(b, secmode);
        put16(b, (uint16_t)dialects.size());
        for (uint16_t d : dialects) put16(b, d);
        return b;
    };
    const std::vector<uint16_t> offered = {0x0202, 0x0210, 0x0300, 0x0302};
    struct {
        const char *what;
        bytes input;
        std::vector<uint16_t> nego;
        uint32_t status;
    } cases[] = {
        {"as negotiated", info(0x44, 0xA0, 1, offered), offered, SUCCESS},
        {"capabilities changed", info(0x04, 0xA0, 1, offered), offered, DENIED},
        {"another client GUID", info(0x44, 0xA1, 1, offered), offered, DENIED},
        {"security mode changed", info(0x44, 0xA0, 2, offered), offered, DENIED},
        {"3.0.2 was stripped", info(0x44, 0xA0, 1, offered), {0x0202, 0x0210, 0x0300}, DENIED},
        {"cut short", bytes(20, 0), offered, DENIED},
        {"on 3.1.1", info(0x44, 0xA0, 1, {0x0311}), {0x0311}, DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bytes nego = lg::negotiate_body(c.nego, 1, 0x44);
        if (c.nego.back() == 0x0311) {  // a minimal context list
            nego.resize(48, 0);
            nego[28] = 64 + 48;
            nego[32] = 1;
            bytes pre = {1, 0, 6, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0};
            nego.insert(nego.end(), pre.begin(), pre.end());
        }
        auto r = h::simulate({request(0, 0, nego), request(11, 7, ioctl_body(VALIDATE, ONES, c.input, ONES)),
                              request(13, 8, bytes{4, 0, 0, 0})})
                     .replies;
        ASSERT_LE(2u, r.size());
        EXPECT_EQ(c.status, h::status(r[1]));
        EXPECT_EQ(c.status == SUCCESS ? 3u : 2u, r.size()) << "a mismatch ends the connection";
    }
}

TEST_F(Ioctl, RefusalsAndWhatTheyCount)
{
    struct {
        const char *what;
        bytes body;
        uint32_t status;
        int refused;
    } cases[] = {
        {"structure size", ioctl_body(TRANSCEIVE, PIPE, bind(1), 0, 56), INVALID, 0},
        {"short body", bytes{57, 0, 0, 0, 0x17, 0xC0, 0x11, 0}, INVALID, 0},
        {"interface query, any handle", ioctl_body(0x001401FC, PIPE, {}), NOT_SUPPORTED, 1},
        {"copy-chunk on a folder", ioctl_body(0x001440F2, 0x41, {}), NOT_SUPPORTED, 1},
        // The handle is checked before the code.
        {"copy-chunk, no such handle", ioctl_body(0x001440F2, 0x31, {}), FILE_CLOSED, 0},
        {"all-ones handle", ioctl_body(TRANSCEIVE, ONES, bind(1), ONES), FILE_CLOSED, 0},
        {"no such handle", ioctl_body(TRANSCEIVE, 0x999, bind(1)), FILE_CLOSED, 0},
        {"referrals, all-ones handle", ioctl_body(0x00060194, ONES, {}, ONES), NOT_SUPPORTED, 1},
        {"referrals on a folder", ioctl_body(0x00060194, 0x41, {}), NOT_SUPPORTED, 1},
        {"transceive on a folder", ioctl_body(TRANSCEIVE, 0x41, bind(1)), NOT_SUPPORTED, 1},
        {"16,385 bytes of input", ioctl_body(TRANSCEIVE, PIPE, bytes(16385, 0)), INVALID, 0},
    };
    bytes bad_offset = ioctl_body(TRANSCEIVE, PIPE, bind(1));
    vl2_put32(&bad_offset[24], 63);
    bytes past_end = ioctl_body(TRANSCEIVE, PIPE, bind(1));
    vl2_put32(&past_end[28], 73);
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t refused = stat(VL2_ST_IOCTL_REFUSED);
        // The pipe 0x21 on IPC$ (tree 1), then a folder 0x41 on media (tree 3).
        auto r = on_pipe({tree_connect(5, "media"), create(6, 3, ""), request(11, 7, c.body, 0, 1)});
        ASSERT_EQ(3u, r.size());
        EXPECT_EQ(c.status, h::status(r[2]));
        EXPECT_EQ("090000000000000000", h::hex(body(r[2])));
        EXPECT_EQ(refused + c.refused, stat(VL2_ST_IOCTL_REFUSED));
    }
    for (const bytes &b : {bad_offset, past_end}) {
        auto r = on_pipe({request(11, 7, b, 0, 1)});
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(INVALID, h::status(r[0]));
    }
}

TEST_F(Ioctl, BindAndShareEnumeration)
{
    int64_t queries = stat(VL2_ST_SRVSVC_QUERIES);
    auto r =
        on_pipe({ioctl(10, TRANSCEIVE, PIPE, bind(7)), ioctl(11, TRANSCEIVE, PIPE, rpc_request(8, 15, enum_stub(1), 1)),
                 ioctl(12, TRANSCEIVE, PIPE, rpc_request(9, 15, enum_stub(1, false)))});
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(h::hex(lg::rsp_hdr(11, SUCCESS, 10, 0, 1)), h::hex(bytes(r[0].begin(), r[0].begin() + 64)));
    EXPECT_EQ(h::hex(transceive_body(PIPE, bind_ack(7))), h::hex(body(r[0])));
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(8, share_list(three), 1))), h::hex(body(r[1])));
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(9, share_list(three)))), h::hex(body(r[2])));
    EXPECT_EQ(queries + 2, stat(VL2_ST_SRVSVC_QUERIES));
}

TEST_F(Ioctl, NamesAreConvertedFromUtf8)
{
    ASSERT_EQ(0, vlsmb2s_remove_share("docs"));
    ASSERT_TRUE(tree.dir("m"));
    ASSERT_EQ(0, vlsmb2s_add_share("Música 🎵", tree.at("m").c_str()));
    auto r = on_pipe({ioctl(10, TRANSCEIVE, PIPE, rpc_request(8, 15, enum_stub(1)))});
    ASSERT_EQ(1u, r.size());
    std::vector<share> want = {three[0], {"media", 0, "read-only share"}, {"Música 🎵", 0, "read-only share"}};
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(8, share_list(want)))), h::hex(body(r[0])));
}

TEST_F(Ioctl, OtherLevelsAreRefusedInTheirOwnShape)
{
    bytes level2;
    for (uint32_t v : {2u, 2u, 0u, 0u, 0u, 124u}) put32(level2, v);
    bytes cut = enum_stub(2);
    cut.resize(20);  // ends inside the server name: read as level 1
    auto r = on_pipe({ioctl(10, TRANSCEIVE, PIPE, rpc_request(8, 15, enum_stub(2))),
                      ioctl(11, TRANSCEIVE, PIPE, rpc_request(9, 15, enum_stub(502, false))),
                      ioctl(12, TRANSCEIVE, PIPE, rpc_request(10, 15, cut)),
                      ioctl(13, TRANSCEIVE, PIPE, rpc_request(11, 15, {}))});
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(8, level2))), h::hex(body(r[0])));
    bytes level502;
    for (uint32_t v : {502u, 502u, 0u, 0u, 0u, 124u}) put32(level502, v);
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(9, level502))), h::hex(body(r[1])));
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(10, share_list(three)))), h::hex(body(r[2])));
    EXPECT_EQ(h::hex(transceive_body(PIPE, response(11, share_list(three)))), h::hex(body(r[3])));
}

TEST_F(Ioctl, FaultsAndPdusWithoutAnswer)
{
    bytes fault;
    put32(fault, 0);
    put16(fault, 3);
    put16(fault, 0);
    put32(fault, 0x1C010003);
    put32(fault, 0);
    bytes alter = bind(5), cut = bind(1);
    cut.pop_back();
    alter[2] = 14;
    int64_t queries = stat(VL2_ST_SRVSVC_QUERIES);
    auto r = on_pipe({ioctl(10, TRANSCEIVE, PIPE, rpc_request(4, 16, enum_stub(1), 3)),
                      ioctl(11, TRANSCEIVE, PIPE, bytes(15, 5)), ioctl(12, TRANSCEIVE, PIPE, alter),
                      ioctl(13, TRANSCEIVE, PIPE, cut), ioctl(14, TRANSCEIVE, PIPE, bytes(16384, 7))});
    ASSERT_EQ(5u, r.size());
    EXPECT_EQ(h::hex(transceive_body(PIPE, pdu(3, 4, fault))), h::hex(body(r[0])));
    for (size_t i = 1; i < 5; i++) {
        EXPECT_EQ(SUCCESS, h::status(r[i])) << i;
        EXPECT_EQ(h::hex(transceive_body(PIPE, {})), h::hex(body(r[i]))) << i;
    }
    EXPECT_EQ(queries, stat(VL2_ST_SRVSVC_QUERIES));
}

TEST_F(Ioctl, WriteThenReadOnThePipe)
{
    const bytes ack = bind_ack(7);
    const bytes list = response(8, share_list(three));
    auto read_body = [](uint32_t n, const bytes &data) {
        bytes b = {17, 0, 80, 0};
        put32(b, n);
        put32(b, 0);
        put32(b, 0);
        return h::cat(b, data);
    };
    bytes write_ok = {17, 0, 0, 0};
    put32(write_ok, (uint32_t)bind(7).size());
    put32(write_ok, 0);
    put32(write_ok, 0);
    int64_t queries = stat(VL2_ST_SRVSVC_QUERIES), refused = stat(VL2_ST_MUTATING_REFUSED);
    auto r = on_pipe({read_req(9, 1, PIPE, 100, 0), write_req(10, PIPE, bind(7)), read_req(11, 1, PIPE, 20, 0),
                      read_req(12, 1, PIPE, 1000, 0), read_req(13, 1, PIPE, 1000, 0),
                      write_req(14, PIPE, rpc_request(8, 15, enum_stub(1))), read_req(15, 1, PIPE, 4280, 0),
                      tree_connect(16, "media"), create(17, 3, ""), write_req(18, 0x41, bytes(10, 1), 3)});
    ASSERT_EQ(10u, r.size());
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[0])) << "nothing written yet";
    EXPECT_EQ(SUCCESS, h::status(r[1]));
    EXPECT_EQ(h::hex(write_ok), h::hex(body(r[1])));
    EXPECT_EQ(0x80000005u, h::status(r[2]));
    EXPECT_EQ(h::hex(read_body(20, bytes(ack.begin(), ack.begin() + 20))), h::hex(body(r[2])));
    EXPECT_EQ(SUCCESS, h::status(r[3]));
    EXPECT_EQ(h::hex(read_body((uint32_t)ack.size() - 20, bytes(ack.begin() + 20, ack.end()))), h::hex(body(r[3])));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[4])) << "drained";
    EXPECT_EQ(SUCCESS, h::status(r[5]));
    EXPECT_EQ(h::hex(read_body((uint32_t)list.size(), list)), h::hex(body(r[6])));
    EXPECT_EQ(queries + 1, stat(VL2_ST_SRVSVC_QUERIES));
    EXPECT_EQ(DENIED, h::status(r[9])) << "every other WRITE stays refused";
    EXPECT_EQ(0u, h::le16(r[9], 6)) << "refused by the walk, credit charge 0";
    EXPECT_EQ(refused + 1, stat(VL2_ST_MUTATING_REFUSED));
}

}  // namespace

namespace {

// A reply longer than the client's MaxOutputResponse is cut there; the rest
// waits on the pipe for READ, as a client that checks its limit expects.
TEST_F(Ioctl, OutputPastTheClientsLimitContinuesByRead)
{
    const bytes ack = bind_ack(7);
    auto cut = [&](uint32_t n) {
        bytes b = transceive_body(PIPE, bytes(ack.begin(), ack.begin() + n));
        return b;
    };
    auto r =
        on_pipe({request(11, 10, ioctl_body(TRANSCEIVE, PIPE, bind(7), 0, 57, 40), 0, 1), read_req(11, 1, PIPE, 10, 0),
                 read_req(12, 1, PIPE, 100, 0), request(11, 13, ioctl_body(TRANSCEIVE, PIPE, bind(7), 0, 57, 56), 0, 1),
                 read_req(14, 1, PIPE, 100, 0)});
    ASSERT_EQ(5u, r.size());
    EXPECT_EQ(0x80000005u, h::status(r[0]));
    EXPECT_EQ(h::hex(cut(40)), h::hex(body(r[0])));
    EXPECT_EQ(0x80000005u, h::status(r[1]));
    EXPECT_EQ(h::hex(bytes(ack.begin() + 40, ack.begin() + 50)), h::hex(bytes(r[1].begin() + 80, r[1].end())));
    EXPECT_EQ(SUCCESS, h::status(r[2]));
    EXPECT_EQ(h::hex(bytes(ack.begin() + 50, ack.end())), h::hex(bytes(r[2].begin() + 80, r[2].end())));
    EXPECT_EQ(SUCCESS, h::status(r[3])) << "exactly the limit";
    EXPECT_EQ(h::hex(cut(56)), h::hex(body(r[3])));
    EXPECT_EQ(NOT_SUPPORTED, h::status(r[4])) << "nothing left over";
}

}  // namespace
