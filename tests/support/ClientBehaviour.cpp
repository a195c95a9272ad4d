#include "support/ClientBehaviour.hpp"

#include "ostrane/ClientFactory.hpp"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace ostrane_test {

namespace {

std::string encodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Servers log in as an unprivileged user: everything must be readable whatever the umask.
void makeReadable(const std::filesystem::path& root) {
    using std::filesystem::perms;
    std::filesystem::permissions(root, perms::owner_all | perms::group_read | perms::group_exec | perms::others_read |
                                           perms::others_exec);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_directory()) {
            std::filesystem::permissions(entry.path(), perms::owner_all | perms::group_read | perms::group_exec |
                                                           perms::others_read | perms::others_exec);
        } else {
            std::filesystem::permissions(entry.path(),
                                         perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
        }
    }
}

std::mutex preparedMutex;
std::map<const BehaviourServer*, bool>& prepared() {
    static std::map<const BehaviourServer*, bool> servers;
    return servers;
}

}  // namespace

std::string behaviourName(const ::testing::TestParamInfo<BehaviourServer*>& info) { return info.param->kind(); }

void useMemoryKeychain() { ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1); }

std::vector<std::string> hostileNames(const BehaviourServer& server) {
    static const std::vector<std::string> all = {
        "sp ace.mkv",        "it's.mkv",        "double\"quote.mkv", "what?.mkv",       "hash#tag.mkv",
        "100%.mkv",          "per%20cent.mkv",  "ünïcødé 日本.mkv",  "e\xCC\x81t\xC3\xA9.mkv",
        ".leading dot.mkv",  "amp&plus+semi;=.mkv", "brackets [1] (2) {3}.mkv",
    };
    std::vector<std::string> names;
    const auto forbidden = server.forbiddenNameCharacters();
    for (const auto& name : all) {
        if (name.find_first_of(forbidden) == std::string::npos) names.push_back(name);
    }
    return names;
}

std::string contentOf(const std::string& name) { return "content of " + name + "\n"; }

std::uint8_t largeFilePattern(std::int64_t offset) {
    return static_cast<std::uint8_t>((offset * 7 + offset / 251 + 1) & 0xFF);
}

std::vector<std::pair<std::int64_t, std::int64_t>> largeFileRegions(std::int64_t size) {
    std::vector<std::pair<std::int64_t, std::int64_t>> regions = {{0, 2 << 20}};
    if (size > (4LL << 30) + (4 << 20)) regions.push_back({(4LL << 30) - (2 << 20), 4 << 20});
    regions.push_back({size - (2 << 20), 2 << 20});
    return regions;
}

bool matchesLargeFile(const std::vector<std::uint8_t>& data, std::int64_t offset, std::int64_t size) {
    const auto regions = largeFileRegions(size);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto at = offset + static_cast<std::int64_t>(i);
        bool patterned = false;
        for (const auto& [start, length] : regions) {
            if (at >= start && at < start + length) patterned = true;
        }
        if (data[i] != (patterned ? largeFilePattern(at) : 0)) return false;
    }
    return true;
}

void prepareBehaviourServer(BehaviourServer& server) {
    std::lock_guard guard(preparedMutex);
    auto& done = prepared()[&server];
    if (!done) {
        const auto root = server.contentRoot();
        writeFile(root / "notes.txt", contentOf("notes.txt"));
        writeFile(root / ".hidden", contentOf(".hidden"));
        writeFile(root / "Movies" / "a.mkv", contentOf("a.mkv"));
        writeFile(root / "Movies" / "b.mkv", contentOf("b.mkv"));
        std::filesystem::create_directories(root / "Empty");
        writeFile(root / "empty.bin", "");
        for (const auto& name : hostileNames(server)) writeFile(root / "hostile names" / name, contentOf(name));
        const auto size = server.largeFileSize();
        {
            std::ofstream large(root / "large.bin", std::ios::binary | std::ios::trunc);
            for (const auto& [start, length] : largeFileRegions(size)) {
                std::string bytes(static_cast<std::size_t>(length), '\0');
                for (std::int64_t i = 0; i < length; ++i) {
                    bytes[static_cast<std::size_t>(i)] = static_cast<char>(largeFilePattern(start + i));
                }
                large.seekp(start);
                large.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            }
        }
        std::filesystem::resize_file(root / "large.bin", static_cast<std::uintmax_t>(size));
        makeReadable(root);
        done = true;
    }
    server.start();
}

void ClientBehaviour::SetUp() {
    prepareBehaviourServer(server());
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrane-behaviour-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
}

void ClientBehaviour::TearDown() {
    auto manager = Ostrane::NetworkFileManager::shared();
    for (const auto& info : registered_) {
        manager->close(info);
        auto infos = manager->serverInfos();
        std::erase_if(infos, [&](const Ostrane::OstraneInfo& other) { return other.identifier == info.identifier; });
        manager->setServerInfos(infos);
        info.cleanup();
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
}

std::shared_ptr<Ostrane::OstraneClient> ClientBehaviour::newClient(const std::optional<std::string>& password) {
    auto info = server().record();
    if (password) {
        info.identifier = Ostrane::OstraneInfo(info.type).identifier;
        info.setPassword(*password);
    } else {
        info.setPassword(server().password());
    }
    return Ostrane::makeClient(info);
}

Ostrane::OstraneErrorRef ClientBehaviour::loginError(const std::shared_ptr<Ostrane::OstraneClient>& client) {
    auto result = await<Ostrane::OstraneErrorRef>([&](auto done) { client->login(done); });
    if (!result) return Ostrane::OstraneError::make("no answer");
    return *result;
}

void ClientBehaviour::login(const std::shared_ptr<Ostrane::OstraneClient>& client) {
    const auto error = loginError(client);
    ASSERT_FALSE(error) << error->description();
}

ClientBehaviour::Listing ClientBehaviour::list(const std::shared_ptr<Ostrane::OstraneClient>& client,
                                               const std::shared_ptr<Ostrane::OstranePathComponent>& directory) {
    auto result = await<Listing>([&](auto done) {
        client->contents(directory, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    return result ? *result : Listing{std::nullopt, Ostrane::OstraneError::make("no answer")};
}

ClientBehaviour::Names ClientBehaviour::names(const std::shared_ptr<Ostrane::OstraneClient>& client,
                                              const std::string& path) {
    auto result = await<Names>([&](auto done) {
        client->contents(path, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    return result ? *result : Names{std::nullopt, Ostrane::OstraneError::make("no answer")};
}

Ostrane::OstraneErrorRef ClientBehaviour::download(const std::shared_ptr<Ostrane::OstraneClient>& client,
                                                   const std::string& path, const std::filesystem::path& to) {
    const auto url = platform::URL::fileURLWithPath(to.string(), false);
    auto result = await<Ostrane::OstraneErrorRef>([&](auto done) { client->download(path, url, done); });
    return result ? *result : Ostrane::OstraneError::make("no answer");
}

platform::URL ClientBehaviour::internalURL(const std::string& path) {
    auto info = server().record();
    auto manager = Ostrane::NetworkFileManager::shared();
    bool known = false;
    for (const auto& other : registered_) known = known || other.identifier == info.identifier;
    if (!known) {
        info.setPassword(server().password());
        auto infos = manager->serverInfos();
        infos.push_back(info);
        manager->setServerInfos(infos);
        registered_.push_back(info);
    }
    const auto text = std::string(Ostrane::NetworkFileManager::scheme) + "://" + info.identifier + encodePath(path);
    auto url = platform::URL::parse(text);
    if (!url) throw std::runtime_error("not a URL: " + text);
    return *url;
}

}  // namespace ostrane_test
