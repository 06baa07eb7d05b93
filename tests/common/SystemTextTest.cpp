// UTF-8 paths through the file calls: a file written, renamed and removed by a UTF-8 name has
// exactly that name in its folder (on Windows the ANSI calls would mangle Chinese and stop at
// 260 characters).
#include "SystemText.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {
// The names in a folder, UTF-8, as the system lists them.
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Utf8Path(dir)))
        names.push_back(PathText(entry.path().filename()));
    return names;
}
} // namespace

TEST(SystemText, FilesByUtf8PathKeepTheirNames) {
    TempDir work;
    struct TRow {
        std::string folder, name;
        bool listed; // MinGW's directory listing (_wopendir) stops at 260 characters
    };
    // The last folder makes the whole path longer than 260 characters.
    for (const TRow& row : std::vector<TRow>{
             {"plain", "plain.bin", true},
             {"升级 工具", "升级 工具.bin", true},
             {std::string(200, 'd') + "/" + std::string(60, 'e'), "升级.bin", false}}) {
        const std::string folder = work / row.folder, path = folder + "/" + row.name;
        SCOPED_TRACE(path);
        ASSERT_TRUE(fs::create_directories(Utf8Path(folder)));
        std::FILE* file = OpenFile(path, "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("QX40", file);
        std::fclose(file);
        if (row.listed) {
            EXPECT_EQ(Names(folder), std::vector<std::string>{row.name});
        }
        EXPECT_EQ(ReadFileBytes(path), "QX40");

        const std::string moved = folder + "/已移动 " + row.name;
        std::error_code ec;
        fs::rename(Utf8Path(path), Utf8Path(moved), ec);
        EXPECT_FALSE(ec) << ec.message();
        if (row.listed) {
            EXPECT_EQ(Names(folder), std::vector<std::string>{"已移动 " + row.name});
        }
        EXPECT_EQ(ReadFileBytes(moved), "QX40");
        EXPECT_TRUE(RemoveFile(moved));
        EXPECT_FALSE(fs::exists(Utf8Path(moved)));
        EXPECT_FALSE(fs::exists(Utf8Path(path)));
    }
}
