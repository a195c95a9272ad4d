// bench-area: fpcore
// SHA-256 throughput of the library's own digest core against OpenSSL's on the same buffer.
#include "fileprovider/core/SHA2.hpp"
#include "BenchSupport.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using namespace ostrane_bench;

} // namespace

int main() {
    std::vector<uint8_t> buffer(64 << 20);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    std::vector<uint8_t> ours, theirs(32);
    const double tOurs = bestSeconds(3, [&] { ours = RiridOzizevud::fp_sha256(buffer); });
    const double tOpenSSL = bestSeconds(3, [&] {
        unsigned int len = 0;
        EVP_Digest(buffer.data(), buffer.size(), theirs.data(), &len, EVP_sha256(), nullptr);
    });
    if (ours != theirs) {
        std::fprintf(stderr, "digests differ\n");
        return 1;
    }
    const double mib = static_cast<double>(buffer.size()) / (1 << 20);
    std::printf("sha-256 of %.0f MiB, MiB/s: ours %.1f, openssl %.1f, ratio %.2f\n", mib, mib / tOurs, mib / tOpenSSL,
                tOpenSSL / tOurs);
    return 0;
}
