#include <gtest/gtest.h>

#include <cstdio>

#include "EmulatedFt232r.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests) && !ft232r::Testbed::PreloadActive()) {
        std::fprintf(stderr, "not running under umockdev-wrapper: skipped\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
