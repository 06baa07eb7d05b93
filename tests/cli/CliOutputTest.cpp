// What kestrel-cli's commands share: the options they read and the JSON they print.
#include "CommandLine.h"
#include "HostToIP.h"
#include "Json.h"

#include <gtest/gtest.h>

namespace {

TEST(Json, EscapesWhatJsonRequiresAndKeepsUtf8) {
    EXPECT_EQ(TJson::Quote("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(TJson::Quote("\n\r\t\x01\x1f\x7f"), R"("\n\r\t\u0001\u001F\u007F")");
    EXPECT_EQ(TJson::Quote("设备连接失败"), "\"设备连接失败\"");
    // Bytes that are no UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate)
    // become U+FFFD each; the rest stays.
    EXPECT_EQ(TJson::Quote("A\xFF"
                           "B"),
              "\"A\xEF\xBF\xBD"
              "B\"");
    EXPECT_EQ(TJson::Quote("\xE8\xAE"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(TJson::Quote("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(TJson::Quote("\xED\xA0\x80").find('\xED'), std::string::npos);
    EXPECT_EQ(TJson::Quote("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
}

TEST(Json, BuildsNestedObjectsAndArrays) {
    TJson inner = TJson::Object().Add("n", 7).Add("ok", true).AddNull("none");
    TJson list = TJson::Array().Push(TJson::Object()).Push(TJson::Object().Add("x", "y"));
    TJson extra = TJson::Object().Add("more", int64_t(-5));
    TJson json = TJson::Object().Add("inner", inner).Add("list", list).Merge(extra);
    EXPECT_EQ(json.Text(), R"({"inner":{"n":7,"ok":true,"none":null},"list":[{},{"x":"y"}],)"
                           R"("more":-5})");
    EXPECT_EQ(TJson::Object().Merge(extra).Merge(TJson::Object()).Text(), R"({"more":-5})");
}

TEST(CliOptions, ReadsOptionsAnywhereAndNamesWhatItRefuses) {
    TOptionSet all{.port = true, .json = true};
    TCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliOptions({"-v", "fw.bin", "--port", "/dev/ttyUSB0", "--json", "--", "-x"},
                                all, o, error))
        << error;
    EXPECT_TRUE(o.verbose && o.json && !o.quiet && !o.help);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.operands, (std::vector<std::string>{"fw.bin", "-x"}));

    TCliOptions eq;
    ASSERT_TRUE(ParseCliOptions({"--port=7", "-q", "-h"}, all, eq, error));
    EXPECT_EQ(eq.port, "7");
    EXPECT_TRUE(eq.quiet && eq.help);

    struct TBad {
        std::vector<std::string> args;
        TOptionSet allowed;
        std::string error;
    };
    for (const TBad& bad : std::vector<TBad>{
             {{"--frob"}, all, "unknown option --frob"},
             {{"--json"}, {}, "unknown option --json"},
             {{"--port", "3"}, {.json = true}, "unknown option --port"},
             {{"--port"}, all, "--port needs a value"},
             {{"-q", "-v"}, all, "-q (--quiet) and -v (--verbose) exclude each other"},
         }) {
        TCliOptions refused;
        std::string why;
        EXPECT_FALSE(ParseCliOptions(bad.args, bad.allowed, refused, why)) << bad.error;
        EXPECT_EQ(why.rfind(bad.error, 0), 0u) << why;
    }
}

// KESTREL_UPDATE_HOST: an IPv6 address is a host name, not a host with a port.
TEST(UpdateHost, AnIpv6AddressIsAHostName) {
    for (const char* name : {"::1", "fe80::1:5001", "[::1]"})
        EXPECT_EQ(HostNameProblem(name), "") << name;
}

} // namespace
