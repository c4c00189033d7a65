// main() of the primitive test programs: GoogleTest plus the MXCSR listener.
#include <gtest/gtest.h>

#include "tests/primitives/support/mxcsr.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sptest::installMxcsrListener();
    int result = RUN_ALL_TESTS();
    return (result != 0 || sptest::mxcsrLeakSeen()) ? 1 : 0;
}
