// Self-replacement on Windows: the running program's own image passes the executable check,
// other images do not, and its path is a full Windows path.
#include "SelfReplace.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ToolImage, RunningProgramIsAWindowsExecutable) {
    std::string exe = RunningExecutablePath();
    ASSERT_GT(exe.size(), 3u);
    EXPECT_EQ(exe.substr(1, 2), ":\\") << exe;
    std::string bytes = ReadFileBytes(exe);
    std::vector<uint8_t> self(bytes.begin(), bytes.end());
    ASSERT_GT(self.size(), 0x40u);
    EXPECT_TRUE(IsExecutableForThisPlatform(self));

    std::vector<uint8_t> noPe = self;
    noPe[0] = 'Z'; // no MZ header
    EXPECT_FALSE(IsExecutableForThisPlatform(noPe));
    EXPECT_FALSE(IsExecutableForThisPlatform({0x7F, 'E', 'L', 'F', 2, 1, 1, 0}));
    EXPECT_FALSE(IsExecutableForThisPlatform({}));
}
