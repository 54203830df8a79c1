// GoogleTest under the umockdev preload, with the shared application
// created first so that AppKit objects can be built in the tests.
#import <AppKit/AppKit.h>

#include <gtest/gtest.h>
#include <string.h>

#include "virtual_board.h"

static bool listingOnly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--gtest_list_tests") == 0) {
            return true;
        }
    }
    return false;
}

int main(int argc, char** argv)
{
    if (listingOnly(argc, argv)) {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    vboard::ensurePreload(argc, argv);
    NSAutoreleasePool* pool = [NSAutoreleasePool new];
    [NSApplication sharedApplication];
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    [pool release];
    return result;
}
