// A test fixture that runs each test once on each SHA-256 compression: the
// CPU's SHA extensions (skipped where absent) and the portable code.
#pragma once

#include "crypto/crypto.h"

#include <gtest/gtest.h>

class ShaPathTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        bool portable = GetParam();
        vl2_sha256_force_portable(portable ? 1 : 0);
        if (!portable && !vl2_sha256_accelerated()) GTEST_SKIP() << "CPU lacks SHA extensions";
    }
    void TearDown() override { vl2_sha256_force_portable(0); }
};

inline std::string sha_path_name(const ::testing::TestParamInfo<bool> &i)
{
    return i.param ? "portable" : "accelerated";
}
