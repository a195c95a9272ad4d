#include "fileprovider/core/SHA2.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>

namespace RiridOzizevud {
namespace {

// What a member of the family hands to the digest core.
template <typename V>
concept SHA2Variant = requires {
    typename V::Word;
    { V::blockSize } -> std::convertible_to<std::size_t>;
    { V::digestWords } -> std::convertible_to<std::size_t>;
    { V::initialHash() } -> std::same_as<const std::array<typename V::Word, 8>&>;
    { V::roundConstants() } -> std::convertible_to<std::span<const typename V::Word>>;
};

template <typename V>
concept SHA2Variant32 = SHA2Variant<V> && std::same_as<typename V::Word, uint32_t>;
template <typename V>
concept SHA2Variant64 = SHA2Variant<V> && std::same_as<typename V::Word, uint64_t>;

constexpr std::array<uint32_t, 64> k256 = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<uint64_t, 80> k512 = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

struct SHA256 {
    using Word = uint32_t;
    static constexpr std::size_t blockSize = 64;
    static constexpr std::size_t digestWords = 8;
    // Function-local statics: built once, safely against concurrent first use.
    static const std::array<Word, 8>& initialHash() {
        static const std::array<Word, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
        return h;
    }
    static std::span<const Word> roundConstants() { return k256; }
};

struct SHA384 {
    using Word = uint64_t;
    static constexpr std::size_t blockSize = 128;
    static constexpr std::size_t digestWords = 6;
    static const std::array<Word, 8>& initialHash() {
        static const std::array<Word, 8> h = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                              0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                              0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
        return h;
    }
    static std::span<const Word> roundConstants() { return k512; }
};

struct SHA512 {
    using Word = uint64_t;
    static constexpr std::size_t blockSize = 128;
    static constexpr std::size_t digestWords = 8;
    static const std::array<Word, 8>& initialHash() {
        static const std::array<Word, 8> h = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                              0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                              0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
        return h;
    }
    static std::span<const Word> roundConstants() { return k512; }
};

static_assert(SHA2Variant32<SHA256> && SHA2Variant64<SHA384> && SHA2Variant64<SHA512>);

// The rotation amounts of FIPS 180-4 differ only by word size.
template <typename Word>
struct Sigmas;

template <>
struct Sigmas<uint32_t> {
    static uint32_t big0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
    static uint32_t big1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
    static uint32_t small0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
    static uint32_t small1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
};

template <>
struct Sigmas<uint64_t> {
    static uint64_t big0(uint64_t x) { return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39); }
    static uint64_t big1(uint64_t x) { return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41); }
    static uint64_t small0(uint64_t x) { return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7); }
    static uint64_t small1(uint64_t x) { return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6); }
};

template <SHA2Variant V>
class SHA2 {
public:
    using Word = typename V::Word;
    static constexpr std::size_t wordBytes = sizeof(Word);
    static constexpr std::size_t lengthFieldBytes = 2 * wordBytes;

    static void compress(std::array<Word, 8>& hash, const uint8_t* block) {
        const std::span<const Word> k = V::roundConstants();
        const std::size_t rounds = k.size();
        std::array<Word, 80> w{};
        for (std::size_t t = 0; t < 16; ++t) {
            Word value = 0;
            for (std::size_t b = 0; b < wordBytes; ++b) value = static_cast<Word>((value << 8) | block[t * wordBytes + b]);
            w[t] = value;
        }
        for (std::size_t t = 16; t < rounds; ++t)
            w[t] = Sigmas<Word>::small1(w[t - 2]) + w[t - 7] + Sigmas<Word>::small0(w[t - 15]) + w[t - 16];

        Word a = hash[0], b = hash[1], c = hash[2], d = hash[3];
        Word e = hash[4], f = hash[5], g = hash[6], h = hash[7];
        for (std::size_t t = 0; t < rounds; ++t) {
            const Word ch = (e & f) ^ (~e & g);
            const Word maj = (a & b) ^ (a & c) ^ (b & c);
            const Word t1 = h + Sigmas<Word>::big1(e) + ch + k[t] + w[t];
            const Word t2 = Sigmas<Word>::big0(a) + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        hash[0] += a; hash[1] += b; hash[2] += c; hash[3] += d;
        hash[4] += e; hash[5] += f; hash[6] += g; hash[7] += h;
    }

    static std::vector<uint8_t> calculate(std::span<const uint8_t> input) {
        constexpr std::size_t B = V::blockSize;
        const std::size_t n = input.size();
        std::array<Word, 8> hash = V::initialHash();

        // Whole blocks are hashed where they lie; only the tail is copied to be padded, so a
        // large input is never held twice.
        const std::size_t whole = n - n % B;
        for (std::size_t block = 0; block < whole; block += B) compress(hash, input.data() + block);

        std::array<uint8_t, 2 * B> tail{};
        std::size_t len = n - whole;
        std::copy(input.begin() + static_cast<std::ptrdiff_t>(whole), input.end(), tail.begin());
        tail[len++] = 0x80;
        while (len % B != B - lengthFieldBytes) tail[len++] = 0;
        // The bit count is n * 8 over the whole field width: the upper bytes carry n's top bits.
        const uint64_t bitsLow = static_cast<uint64_t>(n) << 3;
        const uint64_t bitsHigh = static_cast<uint64_t>(n) >> 61;
        for (std::size_t i = 0; i < lengthFieldBytes; ++i) {
            const std::size_t byteIndex = lengthFieldBytes - 1 - i;  // from the least significant
            uint8_t byte = 0;
            if (byteIndex < 8) byte = static_cast<uint8_t>(bitsLow >> (8 * byteIndex));
            else byte = static_cast<uint8_t>(bitsHigh >> (8 * (byteIndex - 8)));
            tail[len++] = byte;
        }
        for (std::size_t block = 0; block < len; block += B) compress(hash, tail.data() + block);

        std::vector<uint8_t> digest;
        digest.reserve(V::digestWords * wordBytes);
        for (std::size_t i = 0; i < V::digestWords; ++i)
            for (std::size_t b = wordBytes; b-- > 0;)
                digest.push_back(static_cast<uint8_t>(hash[i] >> (8 * b)));
        return digest;
    }
};

// Keyed hashing has no user in this library; the type only marks its place beside the digests.
template <SHA2Variant V>
class HMAC {};

std::span<const uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

} // namespace

std::vector<uint8_t> fp_sha256(std::span<const uint8_t> data) { return SHA2<SHA256>::calculate(data); }
std::vector<uint8_t> fp_sha384(std::span<const uint8_t> data) { return SHA2<SHA384>::calculate(data); }
std::vector<uint8_t> fp_sha512(std::span<const uint8_t> data) { return SHA2<SHA512>::calculate(data); }

std::vector<uint8_t> fp_sha256(std::string_view string) { return fp_sha256(bytesOf(string)); }
std::vector<uint8_t> fp_sha384(std::string_view string) { return fp_sha384(bytesOf(string)); }
std::vector<uint8_t> fp_sha512(std::string_view string) { return fp_sha512(bytesOf(string)); }

} // namespace RiridOzizevud
