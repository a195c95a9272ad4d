// test-labels: unit
#include "platform/base/Error.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "support/TempFolder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::PlacementFile;
using testsupport::TempFolder;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The errno under the Cocoa file error a placement throws, or 0 when it did not throw.
template <typename F>
int errnoThrownBy(F&& f) {
    try {
        f();
    } catch (const platform::Exception& e) {
        const auto& underlying = e.error()->underlyingError();
        return underlying ? static_cast<int>(underlying->code()) : -1;
    }
    return 0;
}

enum class Before { nothing, file, emptyFolder, fullFolder, link };

struct Case {
    const char* name;
    Before before;
    bool overwrite;
    int expectedErrno; // 0: placed
};

// Every case runs with unnamed temporaries and with the named ones of file systems that lack them.
class Placement : public ::testing::TestWithParam<std::tuple<Case, bool>> {
protected:
    void SetUp() override { platform::detail::useNamedTemporaries(std::get<1>(GetParam())); }
    void TearDown() override { platform::detail::useNamedTemporaries(false); }
};

// What was at the destination is either replaced by the new file or left exactly as it was.
TEST_P(Placement, FollowsTheOverwriteRuleAndNeverTouchesAFolder) {
    const Case c = std::get<0>(GetParam());
    TempFolder folder("placement");
    const fs::path dest = folder.path / "movie one.mkv";
    switch (c.before) {
    case Before::nothing: break;
    case Before::file: writeFile(dest, "old"); break;
    case Before::emptyFolder: fs::create_directory(dest); break;
    case Before::fullFolder:
        fs::create_directory(dest);
        writeFile(dest / "keep.txt", "user's");
        break;
    case Before::link:
        writeFile(folder.path / "target", "target");
        fs::create_symlink("target", dest);
        break;
    }

    PlacementFile file(dest.string());
    file.write("new bytes", 9);
    EXPECT_EQ(file.size(), 9);
    EXPECT_EQ(errnoThrownBy([&] { file.place(c.overwrite); }), c.expectedErrno);

    if (c.expectedErrno == 0) {
        EXPECT_FALSE(fs::is_symlink(dest));
        EXPECT_EQ(readFile(dest), "new bytes");
    } else if (c.before == Before::file) {
        EXPECT_EQ(readFile(dest), "old");
    } else if (c.before == Before::link) {
        EXPECT_TRUE(fs::is_symlink(dest));
    } else {
        EXPECT_TRUE(fs::is_directory(dest));
        if (c.before == Before::fullFolder) {
            EXPECT_EQ(readFile(dest / "keep.txt"), "user's");
        }
    }
    // No temporary is left beside it, placed or not.
    for (const auto& name : namesIn(folder.path)) EXPECT_EQ(name.find(".ostrane-part"), std::string::npos) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, Placement,
    ::testing::Combine(
        ::testing::Values(Case{"absent", Before::nothing, false, 0}, Case{"absentOverwrite", Before::nothing, true, 0},
                          Case{"file", Before::file, false, EEXIST}, Case{"fileOverwrite", Before::file, true, 0},
                          Case{"emptyFolder", Before::emptyFolder, false, EEXIST},
                          Case{"emptyFolderOverwrite", Before::emptyFolder, true, EISDIR},
                          Case{"fullFolderOverwrite", Before::fullFolder, true, EISDIR},
                          Case{"link", Before::link, false, EEXIST}, Case{"linkOverwrite", Before::link, true, 0}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Named" : "Unnamed");
    });

TEST(PlacementFile, AnUnplacedFileLeavesNothing) {
    TempFolder folder("placement");
    writeFile(folder.path / "a.bin", "old");
    for (const bool named : {false, true}) {
        platform::detail::useNamedTemporaries(named);
        {
            PlacementFile file(folder / "a.bin");
            file.write("partial", 7);
        }
        EXPECT_EQ(namesIn(folder.path), std::vector<std::string>{"a.bin"});
        EXPECT_EQ(readFile(folder.path / "a.bin"), "old");
    }
    platform::detail::useNamedTemporaries(false);
}

// A program that ends while it writes leaves no named temporary behind.
TEST(PlacementFile, ExitRemovesNamedTemporaries) {
    TempFolder folder("placement");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::detail::useNamedTemporaries(true);
        static PlacementFile* file = new PlacementFile(folder / "c.bin"); // still open at exit
        file->write("x", 1);
        std::exit(namesIn(folder.path).size() == 1 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(namesIn(folder.path).empty());
}

TEST(PlacementFile, ANewFileTakesTheUmask) {
    TempFolder folder("placement");
    const mode_t old = ::umask(027);
    PlacementFile file(folder / "a.bin");
    file.place(false);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat((folder.path / "a.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(PlacementFile, AMissingFolderOrBadNameFailsAtOnce) {
    TempFolder folder("placement");
    EXPECT_EQ(errnoThrownBy([&] { PlacementFile(folder / "missing/a.bin"); }), ENOENT);
    EXPECT_EQ(errnoThrownBy([&] { PlacementFile(folder.path.string() + "/"); }), EINVAL);
    EXPECT_EQ(errnoThrownBy([&] { PlacementFile(folder / ".."); }), EINVAL);
}

// A writer killed outright leaves no temporary behind; one of a named temporary file system that
// was left by a dead process goes with the next placement of that name, a live writer's stays.
TEST(PlacementFile, NothingOutlivesAKilledWriter) {
    TempFolder folder("placement");
    const std::string dest = folder / "b.bin";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PlacementFile file(dest);
        file.write("x", 1);
        (void)::write(ready[1], "r", 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(namesIn(folder.path).empty());

    const std::string dead = ".b.bin." + std::to_string(child) + "-0.ostrane-part";
    const std::string live = ".b.bin." + std::to_string(::getpid()) + "-999.ostrane-part";
    writeFile(folder.path / dead, "stale");
    writeFile(folder.path / live, "in use");
    PlacementFile file(dest);
    file.place(false);
    EXPECT_EQ(namesIn(folder.path), (std::vector<std::string>{live, "b.bin"}));
}

TEST(PlacementFile, PlaceFileMovesAcrossFileSystems) {
    TempFolder here("placement");
    TempFolder there("placement", "/dev/shm");
    struct stat a {}, b {};
    ASSERT_EQ(::stat(here.path.c_str(), &a), 0);
    ASSERT_EQ(::stat(there.path.c_str(), &b), 0);
    for (const auto* fromFolder : {&here, &there}) {
        const std::string from = *fromFolder / "src.bin";
        writeFile(from, "payload");
        writeFile(here.path / "dst.bin", "old");
        EXPECT_EQ(errnoThrownBy([&] { platform::placeFile(from, here / "dst.bin", false); }), EEXIST);
        EXPECT_TRUE(fs::exists(from));
        EXPECT_EQ(errnoThrownBy([&] { platform::placeFile(from, here.path.string(), true); }), EISDIR);
        platform::placeFile(from, here / "dst.bin", true);
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(readFile(here.path / "dst.bin"), "payload");
    }
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm shares the test folder's file system here";
}

} // namespace
