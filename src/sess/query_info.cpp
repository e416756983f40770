// QUERY_INFO: file and file-system information from an open's CREATE-time
// metadata.
#include "sess/engine.h"

#include <cstring>

namespace {

constexpr uint8_t INFO_FILE = 1, INFO_FS = 2, INFO_SECURITY = 3, INFO_QUOTA = 4;
// FileAlternateNameInformation: no 8.3 names are kept per file. Clients
// (smbclient's allinfo) carry on past NOT_SUPPORTED but stop at
// INVALID_INFO_CLASS.
constexpr uint8_t FILE_ALTERNATE_NAME = 21;
constexpr uint32_t GRANTED_ACCESS = 0x001200A9u;  // what CREATE grants
constexpr uint64_t EPOCH_1970 = 116444736000000000ull;
const uint8_t ntfs16[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};

uint32_t attributes(const vl2_open *o) { return o->st.kind == VL2_K_DIR ? 0x00000011u : 0x00000021u; }

void qi_file_basic(vl2_buf *b, const vl2_open *o)
{
    w64(b, vl2_filetime(o->st.crtime));
    w64(b, vl2_filetime(o->st.atime));
    w64(b, vl2_filetime(o->st.mtime));
    w64(b, vl2_filetime(o->st.crtime));
    w32(b, attributes(o));
    w32(b, 0);
}

void qi_file_standard(vl2_buf *b, const vl2_open *o)
{
    const bool dir = o->st.kind == VL2_K_DIR;
    w64(b, alloc_size(o->st.size));
    w64(b, o->st.size);
    w32(b, dir ? 0 : 1);  // NumberOfLinks
    vl2_buf_byte(b, 0);   // DeletePending
    vl2_buf_byte(b, dir ? 1 : 0);
    w16(b, 0);
}

// Builds the block of one file class into d; the class's minimum buffer
// size, or -1 for a class not served.
int file_class(vl2_buf *d, const vl2_open *o, unsigned cls)
{
    switch (cls) {
    case 4:
        qi_file_basic(d, o);
        return 40;
    case 5:
        qi_file_standard(d, o);
        return 24;
    case 6:
        w64(d, o->disk_id);
        return 8;
    case 7:  // FileEaInformation: there are never extended attributes
        w32(d, 0);
        return 4;
    case 18:
        qi_file_basic(d, o);
        qi_file_standard(d, o);
        w64(d, o->disk_id);
        w32(d, 0);               // EaSize
        w32(d, GRANTED_ACCESS);  // AccessFlags
        w64(d, 0);               // CurrentByteOffset
        w32(d, 0);               // Mode
        w32(d, 0);               // AlignmentRequirement
        w32(d, 0);               // FileNameLength: no name follows
        return 96;
    case 34:
        w64(d, vl2_filetime(o->st.crtime));
        w64(d, vl2_filetime(o->st.atime));
        w64(d, vl2_filetime(o->st.mtime));
        w64(d, vl2_filetime(o->st.crtime));
        w64(d, alloc_size(o->st.size));
        w64(d, o->st.size);
        w32(d, attributes(o));
        w32(d, 0);
        return 56;
    case 35:  // FileAttributeTagInformation: no reparse points are shown
        w32(d, o->is_dir ? 0x00000010u : 0x00000021u);
        w32(d, 0);
        return 8;
    default:
        return -1;
    }
}

int fs_class(vl2_buf *d, const vl2_open *o, unsigned cls)
{
    switch (cls) {
    case 1: {
        // The label is the share name as UTF-16LE, converted properly so a
        // non-ASCII name reads back as written.
        uint8_t label[2 * sizeof o->share_name];
        int n = 0;
        if (vl2_utf8_to_utf16le(o->share_name, label, (int)sizeof label, &n) != 0) n = 0;
        w64(d, EPOCH_1970);
        w32(d, (uint32_t)vl2_fnv1a64(o->path, strlen(o->path), VL2_FNV_BASIS));
        w32(d, (uint32_t)n);
        vl2_buf_byte(d, 0);  // SupportsObjects
        vl2_buf_byte(d, 0);
        vl2_buf_put(d, label, (uint64_t)n);
        return 12 + n;
    }
    case 3:
        w64(d, 0);
        w64(d, 0);
        w32(d, 1);
        w32(d, 512);
        return 24;
    case 4:
        w32(d, 7);           // disk
        w32(d, 0x00000002);  // read-only device
        return 8;
    case 5:
        w32(d, 0x00040007);
        w32(d, 255);
        w32(d, sizeof ntfs16);
        vl2_buf_put(d, ntfs16, sizeof ntfs16);
        return 20;
    case 7:
        w64(d, 0);
        w64(d, 0);
        w64(d, 0);
        w32(d, 1);
        w32(d, 512);
        return 32;
    default:
        return -1;
    }
}

}  // namespace

void cmd_query_info(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    const uint64_t sid = vl2_le64(rep_hdr(r) + 40);
    const uint32_t tid = vl2_le32(rep_hdr(r) + 36);
    uint16_t ssz = rd_u16(rd);
    if (rd->bad || ssz != 41) {
        err_reply(s, r, CMD_QUERY_INFO, ST_INVALID_PARAMETER, sid, tid);
        return;
    }
    uint8_t type = rd_u8(rd);
    uint8_t cls = rd_u8(rd);
    uint32_t obuf = rd_u32(rd);
    rd_u16(rd);  // InputBufferOffset
    rd_u16(rd);  // Reserved
    rd_u32(rd);  // InputBufferLength
    rd_u32(rd);  // AdditionalInformation
    uint32_t flags = rd_u32(rd);
    uint64_t fid = rd_u64(rd);
    if (rd->bad) {
        err_reply(s, r, CMD_QUERY_INFO, ST_INVALID_PARAMETER, sid, tid);
        return;
    }
    sess_trace(s, "[qi] type=%u class=%u obuf=%u flags=%llx\n", type, cls, obuf, (unsigned long long)flags);
    const vl2_open *o = sess_open(s, fid);
    if (!o) {
        err_reply(s, r, CMD_QUERY_INFO, ST_INVALID_HANDLE, sid, tid);
        return;
    }
    if (type == INFO_SECURITY || type == INFO_QUOTA) {
        err_reply(s, r, CMD_QUERY_INFO, ST_NOT_SUPPORTED, sid, tid);
        return;
    }
    if (type == INFO_FILE && cls == FILE_ALTERNATE_NAME) {
        err_reply(s, r, CMD_QUERY_INFO, ST_NOT_SUPPORTED, sid, tid);
        return;
    }
    if (type != INFO_FILE && (type != INFO_FS || o->is_pipe)) {
        err_reply(s, r, CMD_QUERY_INFO, ST_INVALID_INFO_CLASS, sid, tid);
        return;
    }

    // The block is built after the 8-byte body head and cut in place.
    vl2_buf *b = &r->b;
    const size_t body = (size_t)b->len;
    w16(b, 9);
    w16(b, (uint16_t)(SMB2_HDR + 8));
    w32(b, 0);
    const size_t data = (size_t)b->len;
    int min = type == INFO_FILE ? file_class(b, o, cls) : fs_class(b, o, cls);
    if (min < 0) {
        err_reply(s, r, CMD_QUERY_INFO, ST_INVALID_INFO_CLASS, sid, tid);
        return;
    }
    if (b->failed) return;
    uint64_t n = b->len - data;
    uint32_t status = ST_SUCCESS;
    if (obuf != 0) {
        if (obuf < (uint32_t)min) {
            err_reply(s, r, CMD_QUERY_INFO, ST_INFO_LENGTH_MISMATCH, sid, tid);
            return;
        }
        if (obuf < n) {
            n = obuf;
            b->len = data + n;
            b->data[b->len] = 0;
            status = ST_BUFFER_OVERFLOW;
        }
    }
    vl2_put32(b->data + body + 4, (uint32_t)n);
    rep_status(r, status);
}
