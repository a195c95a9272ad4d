// ostrane-cli: registers servers, lists, downloads and streams files through libostrane.
//
// The records live in a JSON file the host owns (OSTRANE_CLI_RECORDS, or
// $XDG_CONFIG_HOME/ostrane-cli/servers.json); passwords go to the keychain store, never to that file
// and never on the command line (--password-stdin reads one line).
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "platform/fs/FilePlacement.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace Ostrane;
using Clock = std::chrono::steady_clock;
constexpr auto answerLimit = std::chrono::seconds(120);

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void usage() {
    std::cerr <<
        R"(usage: ostrane-cli [--records FILE] COMMAND ...

  add --type smb|sftp|ftp|webdav --host HOST [--port N] [--share NAME | --base-dir DIR]
      [--user NAME] [--title TEXT] [--id ID] [--password-stdin]
                                  register a server; prints its identifier
  servers                         the registered servers
  remove ID                       forget a server and its password
  tree ID [PATH] [--depth N]      list a folder as a tree (default depth 3)
  ls ID [PATH]                    the files of a folder, as internal URLs
  get ID REMOTE LOCAL             download a file
  stream ID REMOTE [--chunk BYTES] [--random N] [--compare LOCAL]
                                  read a file through NetworkFileHandle in ranged reads; with
                                  --compare, check every byte against a local copy
  address ID REMOTE               the plain URL a player fetches the file from (WebDAV: it
                                  carries the user name and password; do not log it)
)";
}

std::filesystem::path recordsPath(const std::optional<std::string>& given) {
    if (given) return *given;
    if (const char* env = std::getenv("OSTRANE_CLI_RECORDS"); env && *env) return env;
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".config";
    } else {
        throw std::runtime_error("no HOME or XDG_CONFIG_HOME to keep the records in");
    }
    return base / "ostrane-cli" / "servers.json";
}

std::vector<OstraneInfo> loadRecords(const std::filesystem::path& path) {
    std::vector<OstraneInfo> records;
    std::ifstream in(path);
    if (!in) return records;
    const auto json = nlohmann::json::parse(in);
    if (!json.is_array()) throw std::runtime_error(path.string() + ": not a list of records");
    for (const auto& item : json) records.push_back(OstraneInfo::fromJSON(item));
    return records;
}

void saveRecords(const std::filesystem::path& path, const std::vector<OstraneInfo>& records) {
    std::filesystem::create_directories(path.parent_path());
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    for (const auto& record : records) json.push_back(record.toJSON());
    // Written whole beside the file and then put in its place, so a reader never sees half a list.
    const std::string text = json.dump(2) + "\n";
    platform::PlacementFile file(path.string());
    file.write(text.data(), text.size());
    file.place(true);
}

const OstraneInfo& findRecord(const std::vector<OstraneInfo>& records, const std::string& id) {
    for (const auto& record : records) {
        if (record.identifier == id) return record;
    }
    throw std::runtime_error("no server with the identifier " + id);
}

std::string encodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        const bool plain = std::isalnum(c) || std::strchr("-._~/", c) != nullptr;
        if (plain && c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

platform::URL internalURL(const std::string& id, std::string path) {
    if (path.empty() || path.front() != '/') path = "/" + path;
    const auto text = std::string(NetworkFileManager::scheme) + "://" + id + encodePath(path);
    auto url = platform::URL::parse(text);
    if (!url) throw std::runtime_error("not a usable URL: " + text);
    return *url;
}

template <class T>
T wait(std::future<T>& future, const char* what) {
    if (future.wait_for(answerLimit) != std::future_status::ready) {
        throw std::runtime_error(std::string(what) + ": no answer within 120 s");
    }
    return future.get();
}

std::shared_ptr<OstraneClient> connectedClient(const OstraneInfo& record) {
    auto client = NetworkFileManager::shared()->serverClient(record, true);
    if (client->isConnected()) return client;
    auto done = std::make_shared<std::promise<OstraneErrorRef>>();
    auto future = done->get_future();
    client->login([done](OstraneErrorRef error) { done->set_value(error); });
    if (auto error = wait(future, "login")) throw std::runtime_error("login failed: " + error->description());
    return client;
}

OstranePathComponent::Contents listDirectory(const std::shared_ptr<OstraneClient>& client,
                                             const std::shared_ptr<OstranePathComponent>& directory) {
    using Answer = std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>;
    auto done = std::make_shared<std::promise<Answer>>();
    auto future = done->get_future();
    client->contents(directory, [done](auto list, auto error) { done->set_value({std::move(list), error}); });
    auto [list, error] = wait(future, "listing");
    if (error) throw std::runtime_error("listing " + directory->path() + " failed: " + error->description());
    return list.value_or(OstranePathComponent::Contents{});
}

std::string sizeText(std::int64_t bytes) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    if (bytes >= (1LL << 30)) {
        out << static_cast<double>(bytes) / (1LL << 30) << " GiB";
    } else if (bytes >= (1 << 20)) {
        out << static_cast<double>(bytes) / (1 << 20) << " MiB";
    } else if (bytes >= 1024) {
        out << static_cast<double>(bytes) / 1024 << " KiB";
    } else {
        out << bytes << " B";
    }
    return out.str();
}

std::string rateText(std::int64_t bytes, Clock::duration elapsed) {
    const double seconds = std::max(1e-6, std::chrono::duration<double>(elapsed).count());
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(2);
    out << seconds << " s, " << static_cast<double>(bytes) / (1 << 20) / seconds << " MiB/s";
    return out.str();
}

void printTree(const std::shared_ptr<OstraneClient>& client, const std::shared_ptr<OstranePathComponent>& directory,
               int depth, const std::string& indent) {
    auto contents = listDirectory(client, directory);
    // Folders first, as a file browser shows them.
    directory->setFlags(OstranePathComponent::Flag::foldersOnTop);
    contents = directory->contents().value_or(contents);
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const auto& item = contents[i];
        const bool last = i + 1 == contents.size();
        std::cout << indent << (last ? "`-- " : "|-- ") << item->name();
        if (auto file = std::dynamic_pointer_cast<OstraneFile>(item)) {
            std::cout << "  (" << sizeText(file->size()) << ")";
        } else if (item->type() == OstraneFileType::symbolicLink) {
            std::cout << " ->";
            if (auto target = std::dynamic_pointer_cast<OstraneSymbolicLink>(item)->target()) {
                std::cout << " " << target->path();
            }
        } else {
            std::cout << "/";
        }
        std::cout << "\n";
        if (item->type() == OstraneFileType::directory && depth > 1) {
            printTree(client, item, depth - 1, indent + (last ? "    " : "|   "));
        }
    }
}

std::shared_ptr<OstranePathComponent> findDirectory(const std::shared_ptr<OstraneClient>& client, const std::string& path) {
    std::shared_ptr<OstranePathComponent> current = client->baseDirItem();
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::shared_ptr<OstranePathComponent> next;
        for (const auto& item : listDirectory(client, current)) {
            if (item->name() == part && item->isDirectory()) next = item;
        }
        if (!next) throw std::runtime_error("no folder " + part + " in " + current->path());
        current = next;
    }
    return current;
}

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> get(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional(it->second);
    }
};

Arguments parseArguments(const std::vector<std::string>& words) {
    static const std::vector<std::string> flags = {"--password-stdin"};
    Arguments args;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto& word = words[i];
        if (word.rfind("--", 0) == 0) {
            if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
                args.options[word] = "";
            } else if (i + 1 < words.size()) {
                args.options[word] = words[++i];
            } else {
                throw UsageError(word + " needs a value");
            }
        } else {
            args.positional.push_back(word);
        }
    }
    return args;
}

std::int64_t number(const std::string& text, const char* what) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value < 0) throw UsageError(std::string(what) + " must be a number: " + text);
    return value;
}

int add(const Arguments& args, const std::filesystem::path& path) {
    const auto typeText = args.get("--type").value_or("");
    std::optional<OstraneType> type;
    for (auto candidate : {OstraneType::ftp, OstraneType::sftp, OstraneType::smb, OstraneType::webdav}) {
        std::string raw(rawValue(candidate));
        std::transform(raw.begin(), raw.end(), raw.begin(), ::tolower);
        if (raw == typeText) type = candidate;
    }
    if (!type) throw UsageError("--type must be smb, sftp, ftp or webdav");
    OstraneInfo record(*type);
    if (auto id = args.get("--id")) record.identifier = *id;
    record.host = args.get("--host").value_or("");
    if (auto port = args.get("--port")) record.port = number(*port, "--port");
    if (auto share = args.get("--share")) record.baseDir = *share;
    if (auto base = args.get("--base-dir")) record.baseDir = *base;
    record.username = args.get("--user").value_or("");
    if (auto title = args.get("--title")) record.title = *title;
    if (!record.isValid()) throw UsageError("the record needs a host (and, for SMB, a share)");

    auto records = loadRecords(path);
    std::erase_if(records, [&](const OstraneInfo& other) { return other.identifier == record.identifier; });
    records.push_back(record);
    if (args.has("--password-stdin")) {
        std::string password;
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        record.setPassword(password);
        if (record.getPassword() != password) throw std::runtime_error("the keychain store did not keep the password");
    }
    saveRecords(path, records);
    std::cout << record.identifier << "\n";
    return 0;
}

int run(const std::vector<std::string>& words) {
    std::optional<std::string> recordsOption;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--records" && i + 1 < words.size()) {
            recordsOption = words[++i];
        } else {
            rest.push_back(words[i]);
        }
    }
    if (rest.empty()) throw UsageError("no command");
    const std::string command = rest.front();
    const auto args = parseArguments(std::vector<std::string>(rest.begin() + 1, rest.end()));
    const auto path = recordsPath(recordsOption);
    if (command == "add") return add(args, path);

    auto records = loadRecords(path);
    NetworkFileManager::shared()->setServerInfos(records);
    const auto& pos = args.positional;

    if (command == "servers") {
        for (const auto& record : records) {
            std::cout << record.identifier << "  " << rawValue(record.type) << "  " << record.host;
            if (record.port) std::cout << ":" << *record.port;
            if (record.baseDir) std::cout << "  " << *record.baseDir;
            if (record.title) std::cout << "  \"" << *record.title << "\"";
            std::cout << "\n";
        }
        return 0;
    }
    if (pos.empty()) throw UsageError(command + " needs a server identifier");
    const auto& record = findRecord(records, pos[0]);

    if (command == "remove") {
        record.cleanup();
        const auto id = record.identifier;
        std::erase_if(records, [&](const OstraneInfo& other) { return other.identifier == id; });
        saveRecords(path, records);
        return 0;
    }
    if (command == "tree") {
        const int depth = static_cast<int>(number(args.get("--depth").value_or("3"), "--depth"));
        auto client = connectedClient(record);
        auto start = findDirectory(client, pos.size() > 1 ? pos[1] : "/");
        std::cout << start->path() << "\n";
        printTree(client, start, std::max(depth, 1), "");
        return 0;
    }
    if (command == "ls") {
        std::string folder = pos.size() > 1 ? pos[1] : "/";
        if (folder.back() != '/') folder += "/";
        using Answer = std::pair<std::optional<std::vector<platform::URL>>, OstraneErrorRef>;
        auto done = std::make_shared<std::promise<Answer>>();
        auto future = done->get_future();
        NetworkFileManager::shared()->contentsOfDirectory(
            internalURL(record.identifier, folder), [done](auto urls, auto error) { done->set_value({std::move(urls), error}); });
        auto [urls, error] = wait(future, "listing");
        if (error) throw std::runtime_error("listing failed: " + error->description());
        for (const auto& url : urls.value_or(std::vector<platform::URL>{})) std::cout << url.absoluteString() << "\n";
        return 0;
    }
    if (command == "address") {
        if (pos.size() < 2) throw UsageError("address needs ID REMOTE");
        const auto url = internalURL(record.identifier, pos[1]);
        auto client = NetworkFileManager::shared()->serverClient(url);
        if (!client) throw std::runtime_error("server not found");
        const auto address = client->address(url);
        if (!address) throw std::runtime_error("this kind of server has no plain address");
        std::cout << *address << "\n";
        return 0;
    }
    if (command == "get") {
        if (pos.size() < 3) throw UsageError("get needs ID REMOTE LOCAL");
        const auto target = std::filesystem::absolute(pos[2]);
        auto done = std::make_shared<std::promise<OstraneErrorRef>>();
        auto future = done->get_future();
        const auto started = Clock::now();
        NetworkFileManager::shared()->downloadFile(internalURL(record.identifier, pos[1]),
                                                   platform::URL::fileURLWithPath(target.string(), false),
                                                   [done](OstraneErrorRef error) { done->set_value(error); });
        if (auto error = wait(future, "download")) throw std::runtime_error("download failed: " + error->description());
        const auto elapsed = Clock::now() - started;
        const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(target));
        std::cout << "downloaded " << pos[1] << " to " << target.string() << ": " << sizeText(bytes) << " in "
                  << rateText(bytes, elapsed) << "\n";
        return 0;
    }
    if (command == "stream") {
        if (pos.size() < 2) throw UsageError("stream needs ID REMOTE");
        const auto chunk = number(args.get("--chunk").value_or(std::to_string(1 << 20)), "--chunk");
        const auto randomReads = number(args.get("--random").value_or("0"), "--random");
        if (chunk <= 0) throw UsageError("--chunk must be positive");
        std::optional<std::ifstream> reference;
        if (auto compare = args.get("--compare")) {
            reference.emplace(*compare, std::ios::binary);
            if (!*reference) throw std::runtime_error("cannot read " + *compare);
        }
        auto handle = NetworkFileHandle::make(internalURL(record.identifier, pos[1]));
        if (!handle) throw std::runtime_error("no client serves this server");
        if (!handle->open()) throw std::runtime_error("cannot open " + pos[1]);
        const auto size = handle->size();
        std::vector<char> expected;
        std::int64_t mismatches = 0;
        auto check = [&](std::int64_t offset, const std::vector<std::uint8_t>& data) {
            if (!reference) return;
            expected.resize(data.size());
            reference->clear();
            reference->seekg(offset);
            reference->read(expected.data(), static_cast<std::streamsize>(expected.size()));
            if (reference->gcount() != static_cast<std::streamsize>(data.size()) ||
                std::memcmp(expected.data(), data.data(), data.size()) != 0) {
                ++mismatches;
            }
        };
        std::int64_t bytes = 0;
        std::int64_t reads = 0;
        const auto started = Clock::now();
        for (std::int64_t offset = 0; offset < size; offset += chunk) {
            auto data = handle->read(offset, static_cast<std::ptrdiff_t>(chunk));
            if (!data) throw std::runtime_error("read at " + std::to_string(offset) + " failed");
            const auto wanted = std::min(chunk, size - offset);
            if (static_cast<std::int64_t>(data->size()) != wanted) ++mismatches;
            check(offset, *data);
            bytes += static_cast<std::int64_t>(data->size());
            ++reads;
        }
        const auto sequential = Clock::now() - started;
        std::cout << "streamed " << pos[1] << ": " << sizeText(bytes) << " in " << reads << " reads of "
                  << sizeText(chunk) << ", " << rateText(bytes, sequential) << "\n";
        if (randomReads > 0 && size > 0) {
            std::mt19937_64 random(20261210);
            std::int64_t randomBytes = 0;
            const auto randomStarted = Clock::now();
            for (std::int64_t i = 0; i < randomReads; ++i) {
                const auto offset = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(size));
                auto data = handle->read(offset, static_cast<std::ptrdiff_t>(chunk));
                if (!data) throw std::runtime_error("read at " + std::to_string(offset) + " failed");
                check(offset, *data);
                randomBytes += static_cast<std::int64_t>(data->size());
            }
            std::cout << "random reads: " << randomReads << " of " << sizeText(chunk) << " at random offsets, "
                      << rateText(randomBytes, Clock::now() - randomStarted) << "\n";
        }
        handle->close();
        if (reference) {
            if (mismatches != 0) throw std::runtime_error(std::to_string(mismatches) + " reads differ from the local copy");
            std::cout << "every byte read matches " << *args.get("--compare") << "\n";
        }
        return 0;
    }
    throw UsageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h") {
        usage();
        return words.empty() ? 2 : 0;
    }
    try {
        return run(words);
    } catch (const UsageError& error) {
        std::cerr << "ostrane-cli: " << error.what() << "\n";
        usage();
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "ostrane-cli: " << error.what() << "\n";
        return 1;
    }
}
