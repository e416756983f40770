// The SPNEGO reader on a client's security blob, and the reply built around
// whatever mechToken it finds.
#include "fuzz_common.h"

#include "ntlm/ntlm.h"
#include "util/util.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *tok = nullptr;
    size_t toklen = 0;
    int raw = 0;
    const int rc = vl2_spnego_init(data, size, &tok, &toklen, &raw);
    if (rc != 0 && rc != -1 && rc != -2) abort();
    if (rc != 0 && (tok || toklen || raw)) abort();
    if (rc == 0 && tok) {
        // The token must lie inside the blob.
        if (tok < data || toklen > size || (size_t)(tok - data) > size - toklen) {
            fprintf(stderr, "fuzz: mechToken outside the blob\n");
            abort();
        }
        vl2_buf b{};
        vl2_spnego_resp(tok, toklen, &b);
        vl2_buf_free(&b);
    }
    if (rc == 0 && !tok && toklen) abort();
    return 0;
}
