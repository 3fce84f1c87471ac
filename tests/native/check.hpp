// The few helpers the native unit tests share: failure reporting and bitwise
// comparison of results.
#pragma once

#include <cstdio>
#include <cstring>
#include <vector>

static int failures = 0;

static void check(bool ok, const char *what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

/// Equal to the last bit (NaN payloads and signed zeros included).
[[maybe_unused]] static bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

/// The report and exit status of a test program.
static int finish() {
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
