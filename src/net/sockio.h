// Internal to the network module: the socket transport handed to the
// connection loop, and socket address conversion.
#pragma once

#include "vl2.h"

#include <sys/socket.h>

// Transport context: one connected, non-blocking socket.
struct vl2_net_sock {
    int fd;
    // A write that makes no progress for this long fails (the peer stopped
    // reading); taken from the options when the connection starts.
    int io_timeout_ms;
};

// vl2_io.read: 1..count bytes, 0 the peer closed, -2 no data within
// timeout_ms, -1 any other failure.
int vl2_net_read(void *ctx, uint8_t *buf, int32_t count, int timeout_ms);
// vl2_io.write: sends all count bytes (count <= 0 succeeds at once). 0, or
// -1 on a send error, when no byte could be sent for io_timeout_ms, or when
// the server is stopping while the send is blocked.
int vl2_net_write(void *ctx, const uint8_t *bytes, int32_t count);
// vl2_io.writev2: a then b, gathered into as few system calls as the socket
// allows; same contract as vl2_net_write.
int vl2_net_writev2(void *ctx, const uint8_t *a, int32_t na, const uint8_t *b, int32_t nb);

// vl2_io.stopping: 1 while the network server is stopping.
int vl2_net_stopping(void *ctx);

// IPv4 -> family 4; IPv6 -> family 6, an IPv4-mapped address -> family 4.
// port (may be null) gets the port in host order. 0, or -1 for any other
// address family.
int vl2_net_sa_to_ip(const struct sockaddr *sa, vl2_ip *out, int *port);
