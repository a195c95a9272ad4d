// test-labels: smb
// SMB sessions run in worker processes of their own: a server that never answers holds up no other
// server's reads, and a worker that dies fails only its own calls.

#include "IsolationSupport.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/SambaServer.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <thread>

using namespace Ostrane;
using ostrane_smb_test::SilentListener;
using ostrane_test::await;
using ostrane_test::SambaServer;

namespace {

SambaServer* server = nullptr;
constexpr std::int64_t filmSize = 8 << 20;

std::uint8_t filmByte(std::int64_t offset) { return static_cast<std::uint8_t>((offset * 13 + offset / 509) & 0xFF); }

class SambaEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ostrane_test::useMemoryKeychain();
        server = new SambaServer();
        const auto film = server->shareDirectory() / "film.mkv";
        {
            std::ofstream out(film, std::ios::binary);
            for (std::int64_t i = 0; i < filmSize; ++i) out.put(static_cast<char>(filmByte(i)));
        }
        std::filesystem::permissions(film, std::filesystem::perms(0644));
        server->start();
    }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new SambaEnvironment);

OstraneInfo record(int port) {
    OstraneInfo info(OstraneType::smb);
    info.host = "127.0.0.1";
    info.port = port;
    info.baseDir = SambaServer::share;
    info.username = SambaServer::user;
    info.setPassword(std::string(SambaServer::password));
    return info;
}

OstraneErrorRef loginError(const std::shared_ptr<AMSMB2Client>& client) {
    auto result = await<OstraneErrorRef>([&](auto done) { client->login(done); });
    return result ? *result : OstraneError::make("no answer");
}

bool isFilm(const OstraneClient::Bytes& data, std::int64_t offset) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != filmByte(offset + static_cast<std::int64_t>(i))) return false;
    }
    return true;
}

TEST(SMBWorkers, ASilentServerHoldsUpNoOtherServersReads) {
    auto streaming = AMSMB2Client::make(record(server->port()));
    ASSERT_FALSE(loginError(streaming));
    auto fd = streaming->open("/film.mkv");
    ASSERT_NE(fd, nullptr);

    SilentListener silent;
    auto stuck = AMSMB2Client::make(record(silent.port()));
    stuck->setTimeout(std::chrono::seconds(120));
    auto stuckLogin = std::make_shared<std::promise<OstraneErrorRef>>();
    auto stuckDone = stuckLogin->get_future();
    stuck->login([stuckLogin](OstraneErrorRef error) { stuckLogin->set_value(error); });
    ASSERT_TRUE(silent.waitForConnection(std::chrono::seconds(60)));

    // The functional bound of this one test: a read that waited on the other server would take its
    // whole time-out.
    std::int64_t offset = 0;
    for (int i = 0; i < 64; ++i, offset = (offset + 1234567) % (filmSize - 65536)) {
        const auto started = std::chrono::steady_clock::now();
        const auto data = streaming->read(fd, offset, 65536);
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(data) << "read " << i;
        EXPECT_TRUE(data->size() == 65536 && isFilm(*data, offset)) << "read " << i;
        EXPECT_LT(took, std::chrono::seconds(1)) << "read " << i;
    }
    ASSERT_EQ(stuckDone.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the other login must still be waiting, or the reads proved nothing";

    // Listing and a new login of the working server do not wait either.
    auto listing = await<OstraneErrorRef>([&](auto done) { streaming->contents("/", [done](auto, auto e) { done(e); }); });
    ASSERT_TRUE(listing);
    EXPECT_FALSE(*listing);
    EXPECT_FALSE(loginError(AMSMB2Client::make(record(server->port()))));

    silent.close();
    ASSERT_EQ(stuckDone.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(stuckDone.get());
    EXPECT_FALSE(stuck->isConnected());
}

TEST(SMBWorkers, AWorkerKilledInTheMiddleOfAReadFailsItsCallsAndTheNextLoginStartsAnother) {
    auto client = AMSMB2Client::make(record(server->port()));
    client->setTimeout(std::chrono::seconds(120));
    ASSERT_FALSE(loginError(client));
    auto fd = client->open("/film.mkv");
    ASSERT_NE(fd, nullptr);
    ASSERT_TRUE(client->read(fd, 0, 4096));
    const auto worker = client->session()->workerProcessID();
    ASSERT_TRUE(worker);

    // With smbd frozen the read stays in the middle: the worker has sent its request and waits.
    const int group = server->processGroup();
    ASSERT_GT(group, 1);
    ASSERT_EQ(::kill(-group, SIGSTOP), 0);
    const auto sent = ostrane_smb_test::processIO(*worker, "wchar");
    auto reading = std::async(std::launch::async, [&] { return client->read(fd, 1 << 20, 3 << 20); });
    const bool inTheMiddle = ostrane_smb_test::waitForIO(*worker, "wchar", sent, 1, std::chrono::seconds(60));
    // A call that arrives meanwhile waits its turn behind the read.
    auto sizing = std::async(std::launch::async, [&] { return client->fileSize(fd); });
    ::kill(*worker, SIGKILL);
    ::kill(-group, SIGCONT);
    ASSERT_TRUE(inTheMiddle);
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(sizing.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(reading.get()) << "no short read: an error";
    EXPECT_FALSE(sizing.get());
    EXPECT_FALSE(client->read(fd, 0, 10));
    EXPECT_FALSE(client->isConnected());
    EXPECT_TRUE(ostrane_smb_test::waitForProcessEnd(*worker, std::chrono::seconds(60)));

    ASSERT_FALSE(loginError(client));
    EXPECT_TRUE(client->isConnected());
    ASSERT_NE(client->session()->workerProcessID(), worker);
    auto again = client->open("/film.mkv");
    ASSERT_NE(again, nullptr);
    const auto data = client->read(again, 1 << 20, 3 << 20);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->size() == (3 << 20) && isFilm(*data, 1 << 20));
}

}  // namespace
