// A user's program, built against the installed package only: a server record through its JSON
// form, the version, and an SMB login that needs the installed worker program.
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/OstraneVersion.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <closed loopback port>\n", argv[0]);
        return 2;
    }
    Ostrane::OstraneInfo record(Ostrane::OstraneType::smb);
    record.host = "127.0.0.1";
    record.port = std::atoi(argv[1]);
    record.baseDir = "share";
    record.username = "guest";
    const auto copy = Ostrane::OstraneInfo::fromJSON(nlohmann::json::parse(record.toJSON().dump()));
    std::printf("version: %s", reinterpret_cast<const char*>(OstraneVersionString));
    std::printf("record: %s\n", copy.toJSON().dump().c_str());

    // Nothing listens on the port: the login fails, and says why.
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> outcome;
    auto client = Ostrane::AMSMB2Client::make(copy);
    client->login([&](Ostrane::OstraneErrorRef error) {
        std::lock_guard lock(mutex);
        outcome = error ? error->description() : std::string("logged in");
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::minutes(2), [&] { return outcome.has_value(); })) {
        std::printf("login: no answer\n");
        return 1;
    }
    std::printf("login: %s\n", outcome->c_str());
    return 0;
}
