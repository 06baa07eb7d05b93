// The libsodium linked here against published known answers: Ed25519 (RFC 8032, section 7.1,
// test 1) and BLAKE2b-512 (RFC 7693, appendix A). In the Windows build this is the library
// cross-built from Debian's sources, run under wine.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<unsigned char> FromHex(std::string_view hex) {
    std::vector<unsigned char> bytes(hex.size() / 2);
    size_t length = 0;
    EXPECT_EQ(sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length,
                             nullptr),
              0);
    EXPECT_EQ(length, bytes.size());
    return bytes;
}

class Sodium : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(sodium_init(), 0) << "sodium_init failed"; }
};

TEST_F(Sodium, VerifiesTheKnownEd25519SignatureAndRefusesAChangedOne) {
    const auto publicKey =
        FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    auto signature =
        FromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a3"
                "3bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    ASSERT_EQ(publicKey.size(), crypto_sign_PUBLICKEYBYTES);
    ASSERT_EQ(signature.size(), crypto_sign_BYTES);
    const unsigned char emptyMessage[1] = {};

    EXPECT_EQ(crypto_sign_verify_detached(signature.data(), emptyMessage, 0, publicKey.data()), 0);
    EXPECT_NE(crypto_sign_verify_detached(signature.data(), emptyMessage, 1, publicKey.data()), 0);
    signature[10] ^= 0x01;
    EXPECT_NE(crypto_sign_verify_detached(signature.data(), emptyMessage, 0, publicKey.data()), 0);
}

TEST_F(Sodium, HashesTheKnownBlake2b512Digest) {
    const std::string message = "abc";
    std::array<unsigned char, crypto_generichash_BYTES_MAX> digest{};
    ASSERT_EQ(digest.size(), 64u);
    ASSERT_EQ(crypto_generichash(digest.data(), digest.size(),
                                 reinterpret_cast<const unsigned char*>(message.data()),
                                 message.size(), nullptr, 0),
              0);
    EXPECT_EQ(std::vector<unsigned char>(digest.begin(), digest.end()),
              FromHex("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                      "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"));
}

} // namespace
