// GoogleTest under the umockdev preload, with the shared application
// created first so that AppKit objects can be built in the tests.
#import <AppKit/AppKit.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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

static std::string defaultsFolder;

static void removeDefaultsFolder()
{
    std::string command = "rm -rf '" + defaultsFolder + "'";
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", defaultsFolder.c_str());
    }
}

// Test programs run in parallel and store settings: each gets user
// defaults of its own. GNUstep takes the environment before main() runs,
// so the program starts itself again with the new configuration.
static void usePrivateDefaults(char** argv)
{
    const char* existing = getenv("TIDEWIRE_TEST_DEFAULTS");
    if (existing != NULL) {
        defaultsFolder = existing;
        atexit(removeDefaultsFolder);
        return;
    }
    char pattern[] = "/tmp/mac-defaults.XXXXXX";
    if (mkdtemp(pattern) == NULL) {
        perror("mkdtemp");
        exit(2);
    }
    std::string config = std::string(pattern) + "/GNUstep.conf";
    FILE* file = fopen(config.c_str(), "w");
    if (file == NULL) {
        perror("GNUstep.conf");
        exit(2);
    }
    fprintf(file, "GNUSTEP_USER_DEFAULTS_DIR=%s/Defaults\nGNUSTEP_USER_DIR=%s/GNUstep\n", pattern, pattern);
    fclose(file);
    setenv("GNUSTEP_CONFIG_FILE", config.c_str(), 1);
    setenv("TIDEWIRE_TEST_DEFAULTS", pattern, 1);
    execv("/proc/self/exe", argv);
    perror("execv");
    exit(2);
}

int main(int argc, char** argv)
{
    if (listingOnly(argc, argv)) {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    usePrivateDefaults(argv);
    vboard::ensurePreload(argc, argv);
    NSAutoreleasePool* pool = [NSAutoreleasePool new];
    [NSApplication sharedApplication];
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    [pool release];
    return result;
}
