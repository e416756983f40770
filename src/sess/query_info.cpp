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
// FileNormalizedNameInformation exists from dialect 3.1.1 on.
constexpr uint8_t FILE_NORMALIZED_NAME = 48;
constexpr uint32_t GRANTED_ACCESS = 0x001200A9u;  // what CREATE grants
const uint8_t NTFS16[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};

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

// FileNameLength and the UTF-16LE name of the open as the share shows it:
// a leading backslash, backslash separators, the root as "\\".
void put_name(vl2_buf *d, const vl2_open *o)
{
    char name[sizeof o->name + 1];
    name[0] = '\\';
    size_t n = strnlen(o->name, sizeof o->name - 1);
    for (size_t i = 0; i < n; i++) name[i + 1] = o->name[i] == '/' ? '\\' : o->name[i];
    name[n + 1] = 0;
    uint8_t u16[2 * sizeof name];
    int len = 0;
    if (vl2_utf8_to_utf16le(name, u16, (int)sizeof u16, &len) != 0) len = 0;
    w32(d, (uint32_t)len);
    vl2_buf_put(d, u16, (uint64_t)len);
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
    case 9:  // FileNameInformation
        put_name(d, o);
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
        // Clients size the answer as the fixed part plus at least one
        // byte of name, so the name always follows.
        put_name(d, o);
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
        w32(d, o->is_dir ? ATTR_DIRECTORY : file_attributes(false));
        w32(d, 0);
        return 8;
    default:
        return -1;
    }
}

// The one security descriptor every object shows, self-relative: owned by
// Administrators with the group SYSTEM, and a DACL that lets Everyone read
// and execute (the rights CREATE grants). Only the parts asked for in
// AdditionalInformation are included; a SACL is never shown.
void security_descriptor(vl2_buf *d, uint32_t want)
{
    static const uint8_t owner[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};  // S-1-5-32-544
    static const uint8_t group[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                    // S-1-5-18
    static const uint8_t everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};                  // S-1-1-0
    constexpr uint32_t OWNER = 1, GROUP = 2, DACL = 4;
    constexpr uint16_t ACE_SIZE = 8 + sizeof everyone, ACL_SIZE = 8 + ACE_SIZE;
    uint32_t at = 20;
    const uint32_t owner_at = want & OWNER ? at : 0;
    at += owner_at ? sizeof owner : 0;
    const uint32_t group_at = want & GROUP ? at : 0;
    at += group_at ? sizeof group : 0;
    const uint32_t dacl_at = want & DACL ? at : 0;
    vl2_buf_byte(d, 1);                 // Revision
    vl2_buf_byte(d, 0);                 // Sbz1
    w16(d, dacl_at ? 0x8004 : 0x8000);  // self-relative, DACL present
    w32(d, owner_at);
    w32(d, group_at);
    w32(d, 0);  // no SACL
    w32(d, dacl_at);
    if (owner_at) vl2_buf_put(d, owner, sizeof owner);
    if (group_at) vl2_buf_put(d, group, sizeof group);
    if (dacl_at) {
        vl2_buf_byte(d, 2);  // AclRevision
        vl2_buf_byte(d, 0);
        w16(d, ACL_SIZE);
        w16(d, 1);  // AceCount
        w16(d, 0);
        vl2_buf_byte(d, 0);  // ACCESS_ALLOWED_ACE_TYPE
        vl2_buf_byte(d, 0);  // AceFlags
        w16(d, ACE_SIZE);
        w32(d, GRANTED_ACCESS);
        vl2_buf_put(d, everyone, sizeof everyone);
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
        w64(d, vl2_filetime(0));
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
        w32(d, sizeof NTFS16);
        vl2_buf_put(d, NTFS16, sizeof NTFS16);
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

uint32_t cmd_query_info(vl2_sess *s, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);  // StructureSize, checked by the dispatcher
    uint8_t type = rd_u8(rd);
    uint8_t cls = rd_u8(rd);
    uint32_t obuf = rd_u32(rd);
    rd_u16(rd);  // InputBufferOffset
    rd_u16(rd);  // Reserved
    rd_u32(rd);  // InputBufferLength
    uint32_t addl = rd_u32(rd);
    uint32_t flags = rd_u32(rd);
    uint64_t fid = rd_fid(rd, r);
    if (rd->bad) return rep_fail(r, ST_INVALID_PARAMETER);
    sess_trace(s, "[qi] type=%u class=%u obuf=%u flags=%llx\n", type, cls, obuf, (unsigned long long)flags);
    const vl2_open *o = sess_open(s, fid);
    if (!o) return rep_fail(r, ST_FILE_CLOSED);
    if (type == INFO_QUOTA) return rep_fail(r, ST_NOT_SUPPORTED);
    if (type == INFO_FILE && (cls == FILE_ALTERNATE_NAME || cls == FILE_NORMALIZED_NAME)) {
        return rep_fail(r, ST_NOT_SUPPORTED);
    }
    if (type != INFO_FILE && type != INFO_SECURITY && (type != INFO_FS || o->is_pipe)) {
        return rep_fail(r, ST_INVALID_INFO_CLASS);
    }

    // The block is built after the 8-byte body head and cut in place.
    vl2_buf *b = &r->b;
    const size_t body = (size_t)b->len;
    w16(b, 9);
    w16(b, (uint16_t)(SMB2_HDR + 8));
    w32(b, 0);
    const size_t data = (size_t)b->len;
    int min = 0;
    if (type == INFO_SECURITY)
        security_descriptor(b, addl);
    else
        min = type == INFO_FILE ? file_class(b, o, cls) : fs_class(b, o, cls);
    if (min < 0) return rep_fail(r, ST_INVALID_INFO_CLASS);
    if (b->failed) return ST_SUCCESS;  // the loop drops the reply and ends
    uint64_t n = b->len - data;
    if (type == INFO_SECURITY && obuf < n) {
        // A descriptor is never cut: the client learns the size it needs
        // from the error data and asks again.
        r->fail_size = (uint32_t)n;
        return rep_fail_l(r, ST_BUFFER_TOO_SMALL, FAIL_BODY_SIZE_NEEDED, __LINE__);
    }
    uint32_t status = ST_SUCCESS;
    if (obuf != 0) {
        if (obuf < (uint32_t)min) return rep_fail(r, ST_INFO_LENGTH_MISMATCH);
        if (obuf < n) {
            n = obuf;
            b->len = data + n;
            b->data[b->len] = 0;
            status = ST_BUFFER_OVERFLOW;
        }
    }
    vl2_put32(b->data + body + 4, (uint32_t)n);
    rep_status(r, status);
    return ST_SUCCESS;
}
