// test-labels: sftp
// Internal URLs name files by their exact bytes, against a real sshd: a Latin-1 name (byte 0xE9,
// not UTF-8) and a decoy whose name spells that name's escapes ("x%E9t%E9.mkv") are two files on
// every path of the registry (tree, listing by URL, handle, download).

#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "ostrane/sftp/SshServer.hpp"
#include "support/ClientBehaviour.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace {

using namespace Ostrane;
using ostrane_test::await;
using ostrane_test::SshServer;
namespace fs = std::filesystem;

const std::string latin1 = "x\xE9t\xE9.mkv";
const std::string decoy = "x%E9t%E9.mkv";

std::string readLocal(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(InternalURLBytes, ANameThatIsNotUTF8ReachesItsOwnFileOnEveryPath) {
    ostrane_test::useMemoryKeychain();
    SshServer server;
    SSHKnownHosts::setPath(server.knownHosts());
    const std::map<std::string, std::string> contents = {{latin1, "the Latin-1 film\n"}, {decoy, "the decoy\n"}};
    fs::create_directories(server.root() / "Films");
    for (const auto& [name, content] : contents) {
        std::ofstream(server.root() / "Films" / name, std::ios::binary) << content;
        fs::permissions(server.root() / "Films" / name, fs::perms::others_read, fs::perm_options::add);
    }
    fs::permissions(server.root() / "Films", fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    server.start();

    auto info = server.record();
    info.setPassword(std::string(SshServer::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    auto client = manager->serverClient(info, true);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(*await<OstraneErrorRef>([&](auto done) { client->login(done); }), nullptr);

    // The tree's nodes give the URLs.
    auto films = OstraneDirectory::make("Films", client->baseDirItem());
    const auto listed = *await<std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>>([&](auto done) {
        client->contents(films, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_EQ(listed.second, nullptr);
    ASSERT_TRUE(listed.first);
    std::map<std::string, platform::URL> urls;
    for (const auto& node : *listed.first)
        if (auto url = manager->url(node, client)) urls.emplace(node->name(), *url);
    ASSERT_EQ(urls.size(), 2u);

    // The listing by URL gives the same URLs back.
    const auto folder = *platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier +
                                              server.root().string() + "/Films/");
    const auto byURL = *await<std::pair<std::optional<std::vector<platform::URL>>, OstraneErrorRef>>([&](auto done) {
        manager->contentsOfDirectory(folder, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_EQ(byURL.second, nullptr);
    ASSERT_TRUE(byURL.first);
    std::set<std::string> listedBytes;
    for (const auto& url : *byURL.first) listedBytes.insert(url.pathBytes());

    const fs::path scratch = server.directory() / "downloads";
    fs::create_directories(scratch);
    for (const auto& [name, content] : contents) {
        SCOPED_TRACE(urls.at(name).absoluteString());
        const auto& url = urls.at(name);
        EXPECT_EQ(url.pathBytes(), server.root().string() + "/Films/" + name);
        EXPECT_TRUE(listedBytes.count(url.pathBytes()));

        auto handle = NetworkFileHandle::make(url);
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(handle->open());
        EXPECT_EQ(handle->size(), static_cast<std::int64_t>(content.size()));
        const auto data = handle->read(0, 100);
        ASSERT_TRUE(data);
        EXPECT_EQ(std::string(data->begin(), data->end()), content);
        handle->close();

        const auto target = scratch / "copy.mkv";
        const auto error = *await<OstraneErrorRef>([&](auto done) {
            manager->downloadFile(url, platform::URL::fileURLWithPath(target.string(), false), done);
        });
        ASSERT_EQ(error, nullptr);
        EXPECT_EQ(readLocal(target), content);
        fs::remove(target);
    }

    manager->close(info);
    manager->setServerInfos({});
    info.cleanup();
    server.stop();
}

}  // namespace
