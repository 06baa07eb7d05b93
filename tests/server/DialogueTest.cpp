// The upgrade dialogue on its own, over a scripted transport: every line the tool sends, and what
// it makes of the server's lines and data, without a socket or a thread.
#include "Dialogue.h"
#include "ResultCodes.h"
#include "UpgradeServerFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace {

// A peer that answers from a script: the lines in order, then nothing (a lost connection); data
// receives take the next bytes of `data`.
class ScriptedTransport : public TLineTransport {
public:
    void SendLine(const std::string& line) override { sent.push_back(line); }
    std::string ReceiveLine() override {
        if (lines.empty())
            return "";
        std::string line = lines.front();
        lines.pop_front();
        return line;
    }
    void ReceiveData(uint8_t* into, int count) override {
        size_t n = std::min(static_cast<size_t>(count), data.size() - dataTaken);
        std::memcpy(into, data.data() + dataTaken, n);
        dataTaken += n;
    }

    std::deque<std::string> lines;
    std::string data;
    size_t dataTaken = 0;
    std::vector<std::string> sent;
};

class DialogueTest : public ::testing::Test {
protected:
    // The server's side of a dialogue that offers `image` with the CRC text `crc`: every
    // announcement accepted, the request's values echoed with UPType 7 instead of 3, and one
    // "OK" for every chunk but the last.
    void Script(const std::string& image, const std::string& crc) {
        peer.lines.assign(26, "OK");
        peer.lines.push_back("PASSOK");
        peer.lines.push_back(std::to_string(image.size()));
        peer.lines.push_back("OK");
        std::string check;
        for (const std::string& value :
             {request.UserName, request.HVer, request.SVer, std::to_string(request.UseCount),
              request.RegInfo, request.PCInfo, request.OriginalID, request.CID1, request.CID2,
              request.CID3, request.CID4, std::string("7"), request.SWVer}) {
            peer.lines.push_back(value);
            check += value + " ";
        }
        peer.lines.push_back(check);
        peer.lines.push_back(crc);
        for (size_t chunk = 1; chunk * 8192 < image.size(); ++chunk)
            peer.lines.push_back("OK");
        peer.data = image;
    }

    int32_t Run() {
        record.Set(request);
        return TUpgradeDialogue(peer, record, window, &window).Run(request);
    }
    TCliInfo Record() {
        TCliInfo info;
        record.Get(info);
        return info;
    }

    // What the tool sends after the 27 announcement lines for `image` with the CRC text `crc`
    // and `chunks` chunks.
    std::vector<std::string> AfterAnnouncement(const std::string& image, const std::string& crc,
                                               size_t chunks) {
        std::vector<std::string> out = {std::to_string(image.size()), "OK", crc};
        for (size_t i = 1; i < chunks; ++i) {
            out.push_back("OK");
            out.push_back("OK");
        }
        return out;
    }

    ScriptedTransport peer;
    TSharedCliInfo record;
    RecordingWindow window;
    TCliInfo request = TestRequest();
};

TEST_F(DialogueTest, TwoChunksArriveWithTheirHandshakeAndTheServersValues) {
    const std::string image = TestImage(8192 + 100);
    Script(image, CrcText(image));
    EXPECT_EQ(Run(), kResultSuccess);

    ASSERT_GE(peer.sent.size(), 27u);
    const std::vector<std::string> announcement(peer.sent.begin(), peer.sent.begin() + 4);
    EXPECT_EQ(announcement,
              (std::vector<std::string>{"OriginalID", request.OriginalID, "SWVer", request.SWVer}));
    EXPECT_EQ(peer.sent[26], "IDOK");
    std::vector<std::string> rest(peer.sent.begin() + 27, peer.sent.end());
    std::vector<std::string> expected = AfterAnnouncement(image, CrcText(image), 2);
    expected.push_back("AllOK");
    EXPECT_EQ(rest, expected);

    TCliInfo info = Record();
    EXPECT_EQ(info.UPType, RequestKind::Tool);
    EXPECT_EQ(info.UserName, request.UserName);
    EXPECT_TRUE(std::string(request.Data->Bytes().begin(), request.Data->Bytes().end()) == image);
    EXPECT_EQ(window.Max(), static_cast<int>(image.size()));
    EXPECT_EQ(window.Positions(), (std::vector<int>{8192, 8292}));
    EXPECT_EQ(window.Statuses(), (std::vector<std::string>{"升级进行中请等待"}));
    EXPECT_EQ(window.Phases(), (std::vector<TExchangePhase>{TExchangePhase::Transferring}));
}

TEST_F(DialogueTest, DataCutShortFailsTheCrcAndTheStreamKeepsItsSize) {
    const std::string image = TestImage(3 * 8192, 2);
    Script(image, CrcText(image));
    // The last chunk comes short: its missing bytes stay zero, which the CRC finds.
    peer.data.resize(image.size() - 10);
    EXPECT_EQ(Run(), kResultCrcMismatch);
    std::vector<std::string> rest(peer.sent.begin() + 27, peer.sent.end());
    EXPECT_EQ(rest, AfterAnnouncement(image, CrcText(image), 3)); // no "AllOK"
    EXPECT_EQ(request.Data->Size(), static_cast<int64_t>(image.size()));
    EXPECT_EQ(Record().UPType, RequestKind::Tool); // the values were stored before the CRC line
}

} // namespace
