// test-labels: unit
// The URL cache's disk part shared by processes, and where it lies by default. Children are forked
// before any thread of ours exists; each reports through its exit status.
#include "platform/net/URLCache.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace platform;

namespace {

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

URLRequest request(const std::string& url) { return URLRequest(URL::parse(url)); }

CachedURLResponse answer(const std::string& url, const std::string& body) {
    return CachedURLResponse(std::make_shared<HTTPURLResponse>(URL::parse(url), 200, HTTPURLResponse::HeaderFields{}), bytes(body));
}

std::string item(int process, int i) {
    return "http://127.0.0.1:1/p" + std::to_string(process) + "/" + std::to_string(i);
}

std::string makeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrane-cache-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    return pattern;
}

// Runs `work` in a child process; its exit status (0: fine) comes back.
pid_t spawn(const std::function<int()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(work());
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

} // namespace

TEST(URLCacheProcesses, TwoProcessesShareTheDiskPart) {
    const std::string folder = makeTempFolder();
    constexpr int each = 60;
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        children.push_back(spawn([folder, p] {
            auto cache = URLCache::make(0, 8 << 20, folder);
            if (!cache->diskDirectory()) return 2;
            for (int i = 0; i < each; ++i) {
                cache->storeCachedResponse(answer(item(p, i), "from " + std::to_string(p)), request(item(p, i)));
                // Read what the other process wrote so far, while it writes.
                (void)cache->cachedResponse(request(item(1 - p, i)));
            }
            for (int i = 0; i < each; ++i)
                if (!cache->cachedResponse(request(item(p, i)))) return 3;
            return 0;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(waitFor(child), 0);

    auto cache = URLCache::make(0, 8 << 20, folder);
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < each; ++i) {
            const auto cached = cache->cachedResponse(request(item(p, i)));
            ASSERT_TRUE(cached) << p << " " << i;
            EXPECT_EQ(std::string(cached->data().begin(), cached->data().end()), "from " + std::to_string(p));
        }
    std::filesystem::remove_all(folder);
}

TEST(URLCacheProcesses, DiskPartLiesUnderTheUsersCacheFolder) {
    const std::string xdg = makeTempFolder();
    const std::string home = makeTempFolder();
    // The environment is changed in children only: threads of the test runner may read it.
    const pid_t withXDG = spawn([xdg] {
        ::setenv("XDG_CACHE_HOME", xdg.c_str(), 1);
        if (URLCache::defaultDirectory() != xdg + "/ostrane") return 2;
        auto cache = URLCache::make(0, 1 << 20, "answers");
        if (cache->diskDirectory() != xdg + "/ostrane/answers") return 3;
        auto unnamed = URLCache::make(0, 1 << 20);
        if (unnamed->diskDirectory() != xdg + "/ostrane/URLCache") return 4;
        struct stat st {};
        if (::stat((xdg + "/ostrane").c_str(), &st) != 0 || (st.st_mode & 0777) != 0700) return 5;
        return 0;
    });
    EXPECT_EQ(waitFor(withXDG), 0);
    const pid_t withoutXDG = spawn([home] {
        ::unsetenv("XDG_CACHE_HOME");
        ::setenv("HOME", home.c_str(), 1);
        if (URLCache::defaultDirectory() != home + "/.cache/ostrane") return 2;
        // A relative XDG_CACHE_HOME is ignored, as the XDG rules say.
        ::setenv("XDG_CACHE_HOME", "relative", 1);
        if (URLCache::defaultDirectory() != home + "/.cache/ostrane") return 3;
        auto cache = URLCache::make(0, 1 << 20, "answers");
        return cache->diskDirectory() == home + "/.cache/ostrane/answers" ? 0 : 4;
    });
    EXPECT_EQ(waitFor(withoutXDG), 0);
    // The shared cache writes nothing anywhere.
    EXPECT_EQ(URLCache::shared()->diskDirectory(), std::nullopt);
    EXPECT_EQ(URLCache::shared()->diskCapacity(), 0);
    std::filesystem::remove_all(xdg);
    std::filesystem::remove_all(home);
}
