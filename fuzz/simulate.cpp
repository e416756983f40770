// The simulator's script parser (and, behind it, one connection). Inputs are
// bounded so one run stays short.
#include "fuzz_common.h"

#include "vlsmb2s.h"

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    unsetenv("VLSMB2S_TRACE");
    vlsmb2s_set_option("clock", "1700000000");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 70000) return 0;
    const std::string script((const char *)data, size);  // cut at the first NUL, as a C caller would
    const char *out = vlsmb2s_simulate(script.c_str(), nullptr);
    if (!out) {
        if (!*vlsmb2s_last_error()) abort();
        return 0;
    }
    const size_t n = strlen(out);
    static const char tail[] = " frames)\n";
    if (n < sizeof tail - 1 || strcmp(out + n - (sizeof tail - 1), tail) != 0) {
        fprintf(stderr, "fuzz: transcript without its result line\n");
        abort();
    }
    return 0;
}
