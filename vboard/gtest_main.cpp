// main() for GoogleTest programs that use virtual boards.
#include "virtual_board.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    vboard::ensurePreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
