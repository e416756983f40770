// The command table: one row per SMB2 command code, and the status names.
#include "sess/engine.h"

#include "cfg/cfg.h"

namespace {

uint32_t small_body(vl2_reply *r, uint32_t status)
{
    rep_status(r, status);
    static const uint8_t body[4] = {4, 0, 0, 0};
    vl2_buf_put(&r->b, body, sizeof body);
    return ST_SUCCESS;
}

uint32_t cmd_echo(vl2_sess *, vl2_rd *rd, vl2_reply *r)
{
    rd_u16(rd);
    rd_u32(rd);
    return small_body(r, ST_SUCCESS);
}

uint32_t cmd_not_supported(vl2_sess *, vl2_rd *, vl2_reply *r) { return small_body(r, ST_NOT_SUPPORTED); }

uint32_t cmd_unknown(vl2_sess *, vl2_rd *, vl2_reply *r)
{
    vl2_stat_add(VL2_ST_PROTOCOL_ERRORS, 1);
    return small_body(r, ST_NOT_SUPPORTED);
}

// Columns: name, handler, refused, sign_exempt, inherits_fid, ssz, ssz_alt.
// NEGOTIATE and CREATE check their own StructureSize: a bad one ends the
// connection, or gets CREATE's own error body. ECHO, LOGOFF and
// TREE_DISCONNECT have never been held to theirs.
const vl2_command ROWS[CMD_COUNT + 1] = {
    {"NEGOTIATE", cmd_negotiate, false, true, false, 0, 0},
    {"SESSION_SETUP", cmd_session_setup, false, true, false, 25, 26},
    {"LOGOFF", cmd_logoff, false, false, false, 0, 0},
    {"TREE_CONNECT", cmd_tree_connect, false, false, false, 9, 0},
    {"TREE_DISCONNECT", cmd_tree_disconnect, false, false, false, 0, 0},
    {"CREATE", cmd_create, false, false, false, 0, 0},
    {"CLOSE", cmd_close, false, false, true, 24, 0},
    {"FLUSH", nullptr, true, false, false, 0, 0},
    {"READ", cmd_read, false, false, true, 49, 0},
    // Refused, except on the srvsvc pipe (write_allowed).
    {"WRITE", cmd_write, true, false, false, 49, 0},
    {"LOCK", nullptr, true, false, false, 0, 0},
    {"IOCTL", cmd_ioctl, false, false, true, 57, 0},
    // Nothing is ever pending, so the walk answers nothing.
    {"CANCEL", nullptr, false, true, false, 0, 0},
    {"ECHO", cmd_echo, false, true, false, 0, 0},
    {"QUERY_DIRECTORY", cmd_query_directory, false, false, true, 33, 0},
    {"CHANGE_NOTIFY", cmd_not_supported, false, false, false, 0, 0},
    {"QUERY_INFO", cmd_query_info, false, false, true, 41, 0},
    {"SET_INFO", nullptr, true, false, false, 0, 0},
    {"OPLOCK_BREAK", cmd_not_supported, false, false, false, 0, 0},
    // Every code past the table.
    {"?", cmd_unknown, false, false, false, 0, 0},
};

}  // namespace

const vl2_command *command_row(unsigned cmd) { return &ROWS[cmd < CMD_COUNT ? cmd : CMD_COUNT]; }

bool command_size_ok(const vl2_command *row, const vl2_rd *rd)
{
    if (row->ssz == 0) return true;
    vl2_rd at = *rd;
    uint16_t ssz = rd_u16(&at);
    return !at.bad && (ssz == row->ssz || (row->ssz_alt && ssz == row->ssz_alt));
}

const char *status_name(uint32_t status)
{
    switch (status) {
#define VL2_STATUS_CASE(name, value) \
    case value: \
        return #name;
        VL2_STATUS_LIST(VL2_STATUS_CASE)
#undef VL2_STATUS_CASE
    default:
        return "STATUS?";
    }
}
