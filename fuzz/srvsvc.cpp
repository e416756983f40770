// One DCE/RPC PDU into the srvsvc pipe; the reply must be one well-formed
// fragment whose length field tells its true size.
#include "fuzz_common.h"

#include "sess/engine.h"
#include "vlsmb2s.h"

#include <cstdio>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char cwd[1024];
    if (!getcwd(cwd, sizeof cwd)) abort();
    // A few shares so the enumeration has names to list, one not ASCII.
    vlsmb2s_add_share("share", cwd);
    vlsmb2s_add_share("Second", "/tmp");
    vlsmb2s_add_share("\xc3\xbcml", "/");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vl2_buf out{};
    srvsvc_pdu(data, size, &out);
    if (out.failed) abort();
    if (out.len) {
        if (out.len < 16 || out.data[0] != 5 || vl2_le16(out.data + 8) != out.len) {
            fprintf(stderr, "fuzz: reply PDU of %llu bytes says %u\n", (unsigned long long)out.len,
                    out.len >= 10 ? vl2_le16(out.data + 8) : 0);
            abort();
        }
    }
    vl2_buf_free(&out);
    return 0;
}
