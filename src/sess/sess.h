// The SMB2 engine: one connection from its first byte to its end.
#pragma once

#include "vl2.h"

// Serves one connection over io until it ends; the caller owns and closes
// the transport. A peer outside the allow-list is refused before any byte.
void vl2_sess_run(const vl2_io *io, const vl2_ip *peer, int trace_id);
// The same for a conversation that no network server serves (the
// simulator): a network stop does not cut it short while its input lasts.
void vl2_sess_run_offline(const vl2_io *io, const vl2_ip *peer, int trace_id);

// Display names used by the trace and the simulator's transcript.
const char *vl2_cmd_name(unsigned code);  // low byte of the code
const char *vl2_frame_name(const uint8_t *bytes, size_t count);
