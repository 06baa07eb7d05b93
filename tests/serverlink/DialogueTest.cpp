// The upgrade dialogue on its own, over a scripted transport: every line the tool sends, and what
// it makes of the server's lines and data, without a socket or a thread.
#include "Dialogue.h"
#include "ResultCodes.h"
#include "ScriptedTransport.h"
#include "UpgradeServerFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class DialogueTest : public ::testing::Test {
protected:
    // The server's bytes of a dialogue that offers `image` with the CRC text `crc`: every
    // announcement accepted, the request's values echoed with UPType 7 instead of 3, and one
    // "OK" after every chunk but the last.
    std::string Script(const std::string& image, const std::string& crc) {
        std::string bytes;
        auto line = [&bytes](const std::string& text) { bytes += text + "\r\n"; };
        for (int i = 0; i < 26; ++i)
            line("OK");
        line("PASSOK");
        line(std::to_string(image.size()));
        line("OK");
        std::string check;
        for (const std::string& value :
             {request.UserName, request.HVer, request.SVer, std::to_string(request.UseCount),
              request.RegInfo, request.PCInfo, request.OriginalID, request.CID1, request.CID2,
              request.CID3, request.CID4, std::string("7"), request.SWVer}) {
            line(value);
            check += value + " ";
        }
        line(check);
        line(crc);
        for (size_t at = 0; at < image.size(); at += 8192) {
            bytes += image.substr(at, 8192);
            if (at + 8192 < image.size())
                line("OK");
        }
        return bytes;
    }

    int32_t RunDialogue() {
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

    TScriptedTransport peer;
    TSharedCliInfo record;
    RecordingWindow window;
    TCliInfo request = TestRequest();
};

TEST_F(DialogueTest, TwoChunksArriveWithTheirHandshakeAndTheServersValues) {
    const std::string image = TestImage(8192 + 100);
    peer = TScriptedTransport(Script(image, CrcText(image)));
    EXPECT_EQ(RunDialogue(), kResultSuccess);

    ASSERT_GE(peer.Sent().size(), 27u);
    const std::vector<std::string> announcement(peer.Sent().begin(), peer.Sent().begin() + 4);
    EXPECT_EQ(announcement,
              (std::vector<std::string>{"OriginalID", request.OriginalID, "SWVer", request.SWVer}));
    EXPECT_EQ(peer.Sent()[26], "IDOK");
    std::vector<std::string> rest(peer.Sent().begin() + 27, peer.Sent().end());
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
    const std::string image = TestImage(size_t{3} * 8192, 2);
    // The last chunk comes short: its missing bytes stay zero, which the CRC finds.
    std::string script = Script(image, CrcText(image));
    script.resize(script.size() - 10);
    peer = TScriptedTransport(script);
    EXPECT_EQ(RunDialogue(), kResultCrcMismatch);
    std::vector<std::string> rest(peer.Sent().begin() + 27, peer.Sent().end());
    EXPECT_EQ(rest, AfterAnnouncement(image, CrcText(image), 3)); // no "AllOK"
    EXPECT_EQ(request.Data->Size(), static_cast<int64_t>(image.size()));
    EXPECT_EQ(Record().UPType, RequestKind::Tool); // the values were stored before the CRC line
}

} // namespace
