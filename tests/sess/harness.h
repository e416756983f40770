// Test helpers for the SMB2 engine: request builders, the simulator and an
// interactive in-process conversation over the real connection loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace h {
using bytes = std::vector<uint8_t>;

// A 64-byte SMB2 request header (ProtocolId FE 'SMB', StructureSize 64).
bytes smb2_hdr(uint16_t cmd, uint64_t mid, uint64_t sid = 0, uint32_t tid = 0, uint32_t flags = 0,
               uint16_t credit_req = 1, uint32_t next = 0, uint16_t charge = 0);
// 4-byte message prefix (type 0, 24-bit big-endian length) + body.
bytes frame(const bytes &body);
// Lower-case hex without separators; unhex ignores blanks.
std::string hex(const bytes &b);
bytes unhex(const std::string &s);
// Concatenation helper: a + b.
bytes cat(const bytes &a, const bytes &b);
// Little-endian readers on a reply body (0 when out of range).
uint16_t le16(const bytes &b, size_t off);
uint32_t le32(const bytes &b, size_t off);
uint64_t le64(const bytes &b, size_t off);

struct SimResult {
    std::vector<std::string> lines;  // every transcript line without its "\n"
    std::vector<bytes> replies;      // decoded "<< " lines in order
    std::string text;                // the whole transcript ("" when the call failed)
};
// One frame per script line (the frames must carry their prefix, see frame()).
SimResult simulate(const std::vector<bytes> &frames, const char *ip = nullptr);
SimResult simulate_script(const std::string &script, const char *ip = nullptr);

// Interactive in-process conversation over vl2_sess_run with a custom
// transport: next() is called whenever the loop has consumed all pending
// input, with every reply body so far; it returns the next frames to feed
// (raw bytes, prefixes included), or an empty vector to end the connection.
// Returns every reply body (type 0x00 frames only, without prefix).
std::vector<bytes> converse(std::function<std::vector<bytes>(const std::vector<bytes> &)> next,
                            const char *ip = nullptr);

// Status field of the response header at hdr_off (0xFFFFFFFF when short).
uint32_t status(const bytes &reply_body, size_t hdr_off = 0);
}  // namespace h
