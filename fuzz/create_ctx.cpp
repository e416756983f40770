// A CREATE request's context chain: CreateContextsOffset and Length (two
// bytes each, little-endian), then the request body the offset counts into
// (from a header 64 bytes before it). A chain the parser accepts is
// answered; the answers must lie inside the reply where its offset and
// length say.
#include "fuzz_common.h"

#include "sess/engine.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) return 0;
    // An exact-size copy, so a read past the body is a sanitizer report.
    std::vector<uint8_t> body(data + 4, data + size);
    vl2_rd rd = {body.data(), body.size(), 0, 0};
    vl2_create_ctx want;
    uint32_t st = create_contexts(&rd, vl2_le16(data), vl2_le16(data + 2), &want);
    if (rd.pos != 0 || rd.bad) abort();  // the handler's cursor is left alone
    if (st != ST_SUCCESS) {
        if (st != ST_INVALID_PARAMETER) abort();
        return 0;
    }
    if ((size_t)want.count * 16 > vl2_le16(data + 2)) {
        fprintf(stderr, "fuzz: %d contexts in %u bytes\n", want.count, vl2_le16(data + 2));
        abort();
    }
    vl2_reply r{};
    rep_begin(&r, CMD_CREATE, ST_SUCCESS, 1, 1, 1, 1, 1);
    wzero(&r.b, 89);
    create_answer(&r, &want, 0x001200A9, 0x1234);
    if (r.b.failed) abort();
    uint32_t off = vl2_le32(r.b.data + SMB2_HDR + 80), len = vl2_le32(r.b.data + SMB2_HDR + 84);
    const uint32_t expect = (want.mxac ? 32 : 0) + (want.qfid ? 56 : 0);
    if (len != expect || (expect && (off != 160 || off + len != r.b.len)) || (!expect && (off || r.b.len != 153))) {
        fprintf(stderr, "fuzz: answers at %u+%u in a reply of %llu\n", off, len, (unsigned long long)r.b.len);
        abort();
    }
    vl2_buf_free(&r.b);
    return 0;
}
