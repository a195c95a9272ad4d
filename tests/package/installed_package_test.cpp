// test-labels: package
// The installed package as a user meets it: this build installed into a fresh prefix, then a small
// program (tests/package/consumer) built against that prefix alone, once through
// find_package(Ostrane) and once through pkg-config, and run.
#include "support/ServerScript.hpp"
#include "support/TempFolder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ostrane_test::runCommand;
using ostrane_test::shellQuote;

// Building against a library of this size on a busy machine is slow; reaching this means a hang.
constexpr int buildLimit = 900;

const std::string consumerSource = std::string(OSTRANE_SOURCE_DIR) + "/tests/package/consumer";

// Headers of the libraries the package links privately: a user of the package never needs them.
const std::vector<std::string> privateHeaderMarks = {
    "/openssl/",   "/libssh/",     "/samba-4.0/", "libsmbclient", "/glib-2.0/", "/libsecret-1/", "/poppler/",
    "/curl/",      "/sqlite3",     "/expat",      "/unicode/",    "/libxml2/",  "/libavformat/", "/libavcodec/",
    "/libavutil/", "/libswscale/", "/libheif/",   "/exiv2/",      "/uuid/"};

// The sanitizer flags this build was made with: a program that loads the library needs them too.
std::string sanitizerFlags() {
    const std::string sanitize = OSTRANE_TEST_SANITIZE;
    return sanitize.empty() ? "" : "-fsanitize=" + sanitize;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> all;
    for (std::string word; in >> word;) all.push_back(word);
    return all;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The shared libraries an ELF file asks the loader for.
std::set<std::string> neededLibraries(const fs::path& file) {
    std::string output;
    EXPECT_EQ(runCommand("readelf -d " + shellQuote(file.string()), ostrane_test::commandLimit(), &output), 0)
        << output;
    std::set<std::string> needed;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        const auto open = line.find('[');
        const auto close = line.find(']', open);
        if (open != std::string::npos && close != std::string::npos)
            needed.insert(line.substr(open + 1, close - open - 1));
    }
    return needed;
}

bool anyStartsWith(const std::set<std::string>& names, const std::string& prefix) {
    for (const auto& name : names) {
        if (startsWith(name, prefix)) return true;
    }
    return false;
}

class InstalledPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Outside the build tree: a library there would take the build tree's worker program.
        folder_ = new testsupport::TempFolder("ostrane-package");
        std::string output;
        const int status = runCommand(std::string(OSTRANE_TEST_CMAKE) + " --install " + shellQuote(OSTRANE_BINARY_DIR) +
                                          " --prefix " + shellQuote(prefix().string()),
                                      buildLimit, &output);
        installed_ = status == 0;
        installOutput_ = output;
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(installed_) << installOutput_; }

    static fs::path prefix() { return folder_->path / "prefix"; }
    static fs::path libdir() { return prefix() / OSTRANE_TEST_LIBDIR; }
    static fs::path includedir() { return prefix() / OSTRANE_TEST_INCLUDEDIR / "ostrane"; }
    static fs::path scratch(const std::string& name) { return folder_->path / name; }

    // Runs a built consumer against a port nothing listens on; returns what it printed.
    static std::string runConsumer(const fs::path& program) {
        const int port = ostrane_test::freeLoopbackPort();
        std::string output;
        const int status =
            runCommand("OSTRANE_KEYCHAIN_STORE=memory " + shellQuote(program.string()) + " " + std::to_string(port),
                       ostrane_test::commandLimit(), &output);
        EXPECT_EQ(status, 0) << output;
        return output;
    }

    // What every run of the consumer shows: the record came back through JSON, the version is this
    // build's, and the login reached the installed worker, which found nothing listening.
    static void expectWorkingConsumer(const std::string& output) {
        EXPECT_NE(output.find("version: @(#)PROGRAM:Ostrane  PROJECT:Ostrane-" OSTRANE_TEST_VERSION "\n"),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("\"type\":\"SMB\""), std::string::npos) << output;
        EXPECT_NE(output.find("\"baseDir\":\"share\""), std::string::npos) << output;
        EXPECT_NE(output.find("login: Connection refused\n"), std::string::npos) << output;
    }

    static testsupport::TempFolder* folder_;
    static bool installed_;
    static std::string installOutput_;
};

testsupport::TempFolder* InstalledPackage::folder_ = nullptr;
bool InstalledPackage::installed_ = false;
std::string InstalledPackage::installOutput_;

TEST_F(InstalledPackage, OnlyTheWorkerLinksLibsmbclient) {
    const auto library = libdir() / "libostrane.so";
    ASSERT_TRUE(fs::exists(library));
    const auto needed = neededLibraries(library);
    EXPECT_FALSE(anyStartsWith(needed, "libsmbclient")) << "libostrane.so asks for libsmbclient";
    EXPECT_TRUE(anyStartsWith(needed, "libssh")) << "readelf output not understood";

    const auto worker = prefix() / OSTRANE_TEST_LIBEXECDIR / "ostrane" / "ostrane-smb-worker";
    ASSERT_TRUE(fs::exists(worker));
    EXPECT_TRUE(anyStartsWith(neededLibraries(worker), "libsmbclient"));
}

TEST_F(InstalledPackage, NamesNeitherTheSourceNorTheBuildTree) {
    std::vector<fs::path> files{libdir() / "pkgconfig" / "ostrane.pc"};
    for (const auto& entry : fs::directory_iterator(libdir() / "cmake" / "Ostrane")) files.push_back(entry.path());
    for (const auto& file : files) {
        const std::string text = readFile(file);
        EXPECT_EQ(text.find(OSTRANE_SOURCE_DIR), std::string::npos) << file;
        EXPECT_EQ(text.find(OSTRANE_BINARY_DIR), std::string::npos) << file;
        EXPECT_EQ(text.find("smbclient"), std::string::npos) << file;
    }
    EXPECT_FALSE(fs::exists(includedir() / "ostrane" / "smb" / "worker"))
        << "the worker program's headers are installed";
}

TEST_F(InstalledPackage, EveryHeaderCompilesWithThePackageIncludePathAlone) {
    const fs::path include = includedir();
    std::string all;
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(include)) {
        const auto extension = entry.path().extension();
        if (!entry.is_regular_file() || (extension != ".hpp" && extension != ".h")) continue;
        all += "#include \"" + fs::relative(entry.path(), include).string() + "\"\n";
        ++count;
    }
    ASSERT_GT(count, 50) << "headers not installed";
    const auto source = scratch("all_headers.cpp");
    std::ofstream(source) << all;

    // -H lists every file the compiler opens, one per line after the dots of its depth.
    std::string output;
    const int status = runCommand(std::string(OSTRANE_TEST_CXX_COMPILER) + " -std=c++20 -fsyntax-only -H -I " +
                                      shellQuote(include.string()) + " " + shellQuote(source.string()),
                                  buildLimit, &output);
    ASSERT_EQ(status, 0) << output;
    std::set<std::string> privateHeaders;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto path = line.find(". ");
        if (line.empty() || line.front() != '.' || path == std::string::npos) continue;
        const std::string opened = line.substr(path + 2);
        if (startsWith(opened, include.string())) continue;
        for (const auto& mark : privateHeaderMarks) {
            if (opened.find(mark) != std::string::npos) privateHeaders.insert(opened);
        }
    }
    EXPECT_TRUE(privateHeaders.empty()) << "installed headers include " << *privateHeaders.begin();
}

TEST_F(InstalledPackage, ProgramBuiltWithFindPackage) {
    const auto build = scratch("consumer-cmake");
    std::string output;
    const std::string flags = sanitizerFlags();
    int status = runCommand(
        std::string(OSTRANE_TEST_CMAKE) + " -S " + shellQuote(consumerSource) + " -B " + shellQuote(build.string()) +
            " -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH=" + shellQuote(prefix().string()) +
            " -DCMAKE_CXX_COMPILER=" + shellQuote(OSTRANE_TEST_CXX_COMPILER) +
            " -DCMAKE_CXX_FLAGS=" + shellQuote(flags) + " -DCMAKE_EXE_LINKER_FLAGS=" + shellQuote(flags),
        buildLimit, &output);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Ostrane package: " + (libdir() / "cmake" / "Ostrane").string()), std::string::npos)
        << "the package was not found in the prefix\n"
        << output;
    status =
        runCommand(std::string(OSTRANE_TEST_CMAKE) + " --build " + shellQuote(build.string()), buildLimit, &output);
    ASSERT_EQ(status, 0) << output;

    // The compile lines name the package's include folder, and nothing of the source tree.
    const std::string commands = readFile(build / "build.ninja");
    EXPECT_EQ(commands.find(std::string(OSTRANE_SOURCE_DIR) + "/src"), std::string::npos);
    EXPECT_NE(commands.find((includedir()).string()), std::string::npos);

    expectWorkingConsumer(runConsumer(build / "consumer"));
}

TEST_F(InstalledPackage, ProgramBuiltWithPkgConfig) {
    const std::string environment = "PKG_CONFIG_PATH=" + shellQuote((libdir() / "pkgconfig").string()) + " ";
    std::string cflags;
    std::string libs;
    ASSERT_EQ(runCommand(environment + std::string(OSTRANE_TEST_PKG_CONFIG) + " --cflags ostrane",
                         ostrane_test::commandLimit(), &cflags),
              0)
        << cflags;
    ASSERT_EQ(runCommand(environment + std::string(OSTRANE_TEST_PKG_CONFIG) + " --libs ostrane",
                         ostrane_test::commandLimit(), &libs),
              0)
        << libs;

    // The package's own folders come from where ostrane.pc lies, not from the configured prefix.
    const auto canonicalPrefix = fs::canonical(prefix()).string();
    bool ownInclude = false;
    for (const auto& word : words(cflags)) {
        if (startsWith(word, "-I") &&
            fs::weakly_canonical(word.substr(2)) == fs::path(canonicalPrefix) / OSTRANE_TEST_INCLUDEDIR / "ostrane")
            ownInclude = true;
    }
    EXPECT_TRUE(ownInclude) << cflags;
    bool ownLibrary = false;
    for (const auto& word : words(libs)) {
        if (startsWith(word, "-L") &&
            fs::weakly_canonical(word.substr(2)) == fs::path(canonicalPrefix) / OSTRANE_TEST_LIBDIR)
            ownLibrary = true;
    }
    EXPECT_TRUE(ownLibrary) << libs;

    const auto program = scratch("consumer-pkg-config");
    std::string output;
    const int status =
        runCommand(std::string(OSTRANE_TEST_CXX_COMPILER) + " " + sanitizerFlags() + " " +
                       shellQuote(consumerSource + "/main.cpp") + " -o " + shellQuote(program.string()) + " " +
                       cflags.substr(0, cflags.find('\n')) + " " + libs.substr(0, libs.find('\n')) + " -Wl,-rpath," +
                       shellQuote((libdir()).string()),
                   buildLimit, &output);
    ASSERT_EQ(status, 0) << output;
    expectWorkingConsumer(runConsumer(program));

    // Without the worker beside it the library says where it looked: in its own prefix.
    const auto worker = prefix() / OSTRANE_TEST_LIBEXECDIR / "ostrane" / "ostrane-smb-worker";
    const auto away = scratch("ostrane-smb-worker");
    fs::rename(worker, away);
    const std::string missing = runConsumer(program);
    fs::rename(away, worker);
    const auto expected = fs::path(canonicalPrefix) / OSTRANE_TEST_LIBEXECDIR / "ostrane" / "ostrane-smb-worker";
    EXPECT_NE(missing.find("worker program is missing: " + expected.string()), std::string::npos) << missing;
}

}  // namespace
