// bench-area: fpcore
// Downloads from a loopback Apache mod_dav (Digest login) through HTTPFileProvider's
// copyItem(path:toLocalURL:), side by side with the curl program fetching the same file:
//   throughput of a 1 GiB download          ours vs curl (target ratio >= 0.9)
//   peak resident memory                    after a 64 MiB and after a 1 GiB download (should not grow)
// Needs root or a user that may run apache2. OSTRANE_BENCH_SIZE_MIB changes the large file's size.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "support/ServerScript.hpp"
#include "BenchSupport.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using namespace RiridOzizevud;

const char* kUser = "ostranedav";
const char* kPassword = "Ostrane-Dav-Test-1";

// Peak resident size of this process, MiB.
double peakMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string l; std::getline(status, l);)
        if (l.rfind("VmHWM:", 0) == 0) return std::stod(l.substr(6)) / 1024.0;
    return 0;
}

// Plain GETs: all a download needs.
class BenchProvider : public HTTPFileProvider {
public:
    static std::shared_ptr<BenchProvider> make(const std::string& base) {
        return std::shared_ptr<BenchProvider>(new BenchProvider(base));
    }
    platform::URLRequest request(const FileOperationType& op, bool, const platform::ValueDictionary&) override {
        platform::URLRequest r(url(op.source()));
        return r;
    }

private:
    explicit BenchProvider(const std::string& base)
        : HTTPFileProvider("Bench", platform::URL::parse(base), platform::URLCredential(kUser, kPassword), nullptr) {}
};

void writeFile(const std::filesystem::path& path, int64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + i / 977);
    for (int64_t done = 0; done < size; done += static_cast<int64_t>(block.size()))
        out.write(block.data(), static_cast<std::streamsize>(std::min<int64_t>(size - done, static_cast<int64_t>(block.size()))));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

double ours(BenchProvider& provider, const std::string& remote, const std::filesystem::path& target) {
    std::filesystem::remove(target);
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    platform::ErrorRef error;
    const auto start = Clock::now();
    provider.copyItem(remote, platform::URL::fileURLWithPath(target.string()), [&](platform::ErrorRef e) {
        std::lock_guard lock(m);
        error = e;
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::minutes(10), [&] { return done; })) throw std::runtime_error("download did not end");
    if (error) throw std::runtime_error("download failed: " + error->localizedDescription());
    return seconds(Clock::now() - start);
}

double curlProgram(const std::string& url, const std::filesystem::path& target) {
    std::filesystem::remove(target);
    const auto start = Clock::now();
    const int status = ostrane_test::runCommand("curl -s -f --digest -u " + ostrane_test::shellQuote(std::string(kUser) + ":" + kPassword) +
                                                    " -o " + ostrane_test::shellQuote(target.string()) + " " +
                                                    ostrane_test::shellQuote(url),
                                                600);
    if (status != 0) throw std::runtime_error("curl failed");
    return seconds(Clock::now() - start);
}

}  // namespace

int main() {
    try {
        const int64_t largeMiB = std::getenv("OSTRANE_BENCH_SIZE_MIB") ? std::atoll(std::getenv("OSTRANE_BENCH_SIZE_MIB")) : 1024;
        const int64_t smallMiB = 64;
        ostrane_test::ServerScript server("apache-dav.sh");
        const auto root = server.directory() / "dav";
        std::filesystem::create_directories(root);
        writeFile(root / "small.bin", smallMiB << 20);
        writeFile(root / "large.bin", largeMiB << 20);
        server.start();
        const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
        const auto out = std::filesystem::temp_directory_path() / "ostrane-http-bench";
        std::filesystem::create_directories(out);

        auto provider = BenchProvider::make(base);
        ours(*provider, "/small.bin", out / "small.bin");
        const double peakSmall = peakMiB();
        const double oursLarge = ours(*provider, "/large.bin", out / "ours.bin");
        const double peakLarge = peakMiB();
        const double curlLarge = curlProgram(base + "large.bin", out / "curl.bin");
        if (std::filesystem::file_size(out / "ours.bin") != std::filesystem::file_size(out / "curl.bin"))
            throw std::runtime_error("downloads differ in size");

        const double mib = static_cast<double>(largeMiB);
        line("download " + std::to_string(largeMiB) + " MiB via copyItem(path:toLocalURL:) vs curl", mib / oursLarge,
             mib / curlLarge, "MiB/s");
        line("peak resident memory after " + std::to_string(largeMiB) + " MiB vs after 64 MiB", peakLarge, peakSmall, "MiB");
        provider.reset();
        std::filesystem::remove_all(out);
        server.stop();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.what());
        return 1;
    }
}
