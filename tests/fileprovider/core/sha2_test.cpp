// test-labels: unit
#include "fileprovider/core/SHA2.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace RiridOzizevud;

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<uint8_t> oracle(const EVP_MD* md, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
    out.resize(len);
    return out;
}

struct Variant {
    const char* name;
    std::vector<uint8_t> (*ofData)(std::span<const uint8_t>);
    std::vector<uint8_t> (*ofString)(std::string_view);
    const EVP_MD* (*md)();
    std::size_t length;
};

const Variant variants[] = {
    {"SHA-256", fp_sha256, fp_sha256, EVP_sha256, 32},
    {"SHA-384", fp_sha384, fp_sha384, EVP_sha384, 48},
    {"SHA-512", fp_sha512, fp_sha512, EVP_sha512, 64},
};

} // namespace

// Every length from 0 to 300 crosses each padding boundary (55/56 and 111/112) and multi-block inputs.
TEST(SHA2, EqualsOpenSSLForEveryLengthUpTo300) {
    std::vector<uint8_t> data;
    uint32_t state = 12345;
    for (std::size_t n = 0; n <= 300; ++n) {
        for (const auto& v : variants) {
            const auto ours = v.ofData(data);
            ASSERT_EQ(ours.size(), v.length) << v.name << " n=" << n;
            ASSERT_EQ(hex(ours), hex(oracle(v.md(), data))) << v.name << " n=" << n;
        }
        state = state * 1103515245u + 12345u;
        data.push_back(static_cast<uint8_t>(state >> 16));
    }
}

TEST(SHA2, NISTExampleDigests) {
    struct Row {
        std::string input;
        const Variant* v;
        const char* digest;
    };
    const std::string abc = "abc";
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string twoLong =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
    const Row rows[] = {
        {"", &variants[0], "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {abc, &variants[0], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {two, &variants[0], "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"", &variants[1], "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
        {abc, &variants[1], "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {twoLong, &variants[1], "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
        {"", &variants[2], "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {abc, &variants[2], "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {twoLong, &variants[2], "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(hex(r.v->ofString(r.input)), r.digest) << r.v->name << " of \"" << r.input << "\"";
        EXPECT_EQ(hex(r.v->ofData(std::vector<uint8_t>(r.input.begin(), r.input.end()))), r.digest) << r.v->name;
    }
}

TEST(SHA2, MillionAsFromNIST) {
    const std::string a(1000000, 'a');
    EXPECT_EQ(hex(fp_sha256(a)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(hex(fp_sha512(a)),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

TEST(SHA2, StringIsHashedAsItsUTF8Bytes) {
    const std::string text = "caf\xC3\xA9 \xF0\x9F\x8E\xAC";  // "café 🎬"
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(fp_sha256(text), fp_sha256(std::span<const uint8_t>(bytes)));
    EXPECT_EQ(fp_sha384(text), fp_sha384(std::span<const uint8_t>(bytes)));
    EXPECT_EQ(fp_sha512(text), fp_sha512(std::span<const uint8_t>(bytes)));
}

TEST(SHA2, SHA384IsNotATruncatedSHA512) {
    const auto d384 = fp_sha384("abc");
    const auto d512 = fp_sha512("abc");
    EXPECT_NE(d384, std::vector<uint8_t>(d512.begin(), d512.begin() + 48));
}
