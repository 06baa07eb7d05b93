// Result codes and their status texts: the mapping of server statuses, the message table, the
// hex code and the four random digits.
#include "UPT.h"
#include "WindowLink.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <set>
#include <vector>

namespace {

const std::string kGeneral = "升级发生错误，错误代号：";

TEST(ResultText, MessagesAndCodesByTheTable) {
    EXPECT_EQ(ResultText(9, 0x3FA2), "连接服务器失败，错误代号：3FA209");
    EXPECT_EQ(ResultText(34, 0x3FA2), "请求的数据获取成功！");
    EXPECT_EQ(ResultText(40, 0x3FA2), kGeneral + "3FA228");
    EXPECT_EQ(ResultText(0, 0x0001), "固件无需升级，错误代号：0001FF");
    EXPECT_EQ(ResultText(-1, 0xFFFE), "无需重复更新！错误代号：FFFEFE");
    EXPECT_EQ(ResultText(-7, 0x1234), "已经是最新软件，无需升级！");
    EXPECT_EQ(ResultText(-10, 0x00AB), kGeneral + "00ABF5");
    EXPECT_EQ(ResultText(35, 0x0000), kGeneral + "000023");
    EXPECT_EQ(ResultText(45, 0xBEEF), kGeneral + "BEEF2D");
}

TEST(ResultText, AStatusBelowTheRangeStaysNegativeAsEightDigits) {
    EXPECT_EQ(MapResult(-300), -45);
    EXPECT_EQ(ResultText(-300, 0x0102), kGeneral + "0102FFFFFFD3");
}

TEST(ResultText, OtherStatusesNeverLookLikeSuccessOrAStatusOfTheirOwn) {
    EXPECT_EQ(MapResult(0), 255);
    EXPECT_EQ(MapResult(-1), 254);
    EXPECT_EQ(MapResult(-7), 248);
    EXPECT_EQ(MapResult(-221), 245); // would be 34, success
    EXPECT_EQ(MapResult(-255), 245); // would be 0, the window waiting for ever
    EXPECT_EQ(MapResult(-257), 245); // low byte 0xFE
    EXPECT_EQ(ResultText(-221, 0x1111), kGeneral + "1111F5");
    EXPECT_EQ(ResultText(-246, 0x1111), kGeneral + "111109"); // general text, not "connect"
    for (int32_t status = -5000; status <= 0; ++status) {
        if (status == 0 || status == -1 || status == -7)
            continue;
        uint8_t low = static_cast<uint8_t>(MapResult(status) & 0xFF);
        EXPECT_NE(low, 0) << status;
        EXPECT_NE(low, kResultSuccess) << status;
        EXPECT_NE(low, kResultLatest) << status;
        EXPECT_NE(low, kResultNoRepeat) << status;
        EXPECT_NE(low, kResultNoUpgrade) << status;
        EXPECT_EQ(ResultText(status, 0).rfind(kGeneral, 0), 0u) << status;
    }
    uint8_t extreme = static_cast<uint8_t>(MapResult(INT32_MIN) & 0xFF);
    EXPECT_NE(extreme, 0);
}

class StatusRecorder : public TNullWindowLink {
public:
    void ShowStatus(const std::string& text) override {
        std::lock_guard lock(mutex);
        texts.push_back(text);
    }
    std::mutex mutex;
    std::vector<std::string> texts;
};

TEST(ShowResult, MapsInPlaceAndDrawsFreshDigitsEveryTime) {
    StatusRecorder window;
    TTcpClient tcp;
    TServerLink link(tcp, window);
    std::set<std::string> digits;
    const std::regex form("^连接服务器失败，错误代号：([0-9A-F]{4})09$");
    for (int i = 0; i < 40; ++i) {
        link.ShowResult(9);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(window.texts.back(), m, form)) << window.texts.back();
        digits.insert(m[1]);
    }
    EXPECT_GT(digits.size(), 1u);
    link.ShowResult(0);
    EXPECT_EQ(link.SessionResult(), 255);
    link.ShowResult(-255);
    EXPECT_EQ(link.SessionResult(), 245);
}

} // namespace
