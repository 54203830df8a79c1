// The benchmark's child runner: exit statuses, environment, output, and a
// peak memory that belongs to the child rather than to the benchmark.
#include "child_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string logPath(const char* name) { return ::testing::TempDir() + name; }

void expectStatusesAndOutput() {
    EXPECT_EQ(bench::runChild({"/bin/sh", "-c", "exit 3"}, logPath("cp.log")).exitStatus, 3);
    EXPECT_EQ(bench::runChild({"/bin/sh", "-c", "kill -9 $$"}, logPath("cp.log")).exitStatus, 128 + 9);
    EXPECT_EQ(bench::runChild({"/nonexistent/program"}, logPath("cp.log")).exitStatus, 127);

    std::string out = logPath("cp-env.log");
    std::remove(out.c_str());
    bench::ChildResult r =
        bench::runChild({"/bin/sh", "-c", "echo \"$BENCH_VALUE\"; echo err >&2"}, out, {{"BENCH_VALUE", "from parent"}});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readText(out), "from parent\nerr\n");
    EXPECT_GE(r.seconds, 0.0);

    r = bench::runChild({"/bin/sleep", "0.2"}, logPath("cp.log"));
    EXPECT_GE(r.seconds, 0.2);
    EXPECT_LT(r.seconds, 5.0);
}

TEST(ChildProcess, PeakMemoryIsTheChildsOwn) {
    ASSERT_TRUE(bench::startLauncher());
    expectStatusesAndOutput();

    // The parent grows by 64 MB after the launcher started.
    std::vector<char> ballast(64u << 20, 1);
    for (size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = char(i);
    bench::ChildResult viaLauncher = bench::runChild({"/bin/true"}, logPath("cp.log"));
    EXPECT_EQ(viaLauncher.exitStatus, 0);
    EXPECT_GT(viaLauncher.maxRssKilobytes, 0);
    EXPECT_LT(viaLauncher.maxRssKilobytes, 32 * 1024);

    // Forked from the grown parent, the same child is charged for its pages.
    bench::stopLauncher();
    bench::ChildResult direct = bench::runChild({"/bin/true"}, logPath("cp.log"));
    EXPECT_EQ(direct.exitStatus, 0);
    EXPECT_GT(direct.maxRssKilobytes, 64 * 1024);
    expectStatusesAndOutput();
    EXPECT_EQ(ballast[4096], char(4096 & 0xFF));
}

} // namespace
