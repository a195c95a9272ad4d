#include "support/ProviderBehaviour.hpp"

#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace ostrane_test {

using RiridOzizevud::FileObjectRef;
using platform::ErrorRef;

std::string providerBehaviourName(const ::testing::TestParamInfo<ProviderTarget*>& info) {
    std::string name = info.param->kind();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

std::vector<std::string> providerHostileNames(const ProviderTarget& target) {
    static const std::vector<std::string> all = {
        "with space.txt",   "quote \" and ' .txt", "question?.txt",  "hash #1.txt",     "percent %41 %.txt",
        "Ünïcödé ☃ 日本.txt", "semi;colon&amp=.txt", "plus+sign.txt", "brackets [x] {y}.txt",
    };
    const std::string forbidden = target.forbiddenNameCharacters();
    std::vector<std::string> out;
    for (const auto& n : all)
        if (n.find_first_of(forbidden) == std::string::npos || forbidden.empty()) out.push_back(n);
    return out;
}

std::string providerContentOf(const std::string& name) { return "content of " + name + "\n"; }

std::string providerLargeFile() {
    static const std::string big = [] {
        std::string s(3 * 1024 * 1024 + 321, '\0');
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 131 + i / 997) & 0xff);
        return s;
    }();
    return big;
}

namespace {

void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

}  // namespace

namespace {
std::mutex preparedMutex;
std::set<ProviderTarget*> prepared;
}  // namespace

void stopProviderTargets() {
    std::lock_guard lock(preparedMutex);
    for (auto* target : prepared) target->stop();
    prepared.clear();
}

void prepareProviderTarget(ProviderTarget& target) {
    std::lock_guard lock(preparedMutex);
    if (prepared.count(&target)) return;
    const auto root = target.contentRoot();
    writeFile(root / "docs" / "readme.txt", "hello");
    writeFile(root / "docs" / "sub" / "inner note.txt", "inner");
    std::filesystem::create_directories(root / "empty");
    writeFile(root / "media" / "large.bin", providerLargeFile());
    for (const auto& name : providerHostileNames(target)) writeFile(root / "hostile" / name, providerContentOf(name));
    target.handOver();
    target.start();
    prepared.insert(&target);
}

// --- Fixture --------------------------------------------------------------------------------------

void ProviderBehaviour::SetUp() {
    prepareProviderTarget(target());
    provider_ = target().makeProvider();
    ASSERT_TRUE(provider_);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    name = name.substr(0, name.find('/'));
    work_ = "/work-" + name;
    // A folder left by an earlier run goes first.
    if (!list(work_).second) remove(work_);
    ASSERT_EQ(create(work_.substr(1), "/"), nullptr);
    scratch_ = std::filesystem::temp_directory_path() / ("provider-behaviour-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(scratch_);
    std::filesystem::create_directories(scratch_);
}

void ProviderBehaviour::TearDown() {
    if (provider_ && !work_.empty()) remove(work_);
    provider_.reset();
    std::error_code ec;
    std::filesystem::remove_all(scratch_, ec);
}

std::pair<std::vector<FileObjectRef>, ErrorRef> ProviderBehaviour::list(const std::string& path) {
    auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>(
        [&](auto done) { provider_->contentsOfDirectory(path, done); });
    if (!r) return {{}, platform::URLError::make(platform::URLError::timedOut)};
    return {std::get<0>(*r), std::get<1>(*r)};
}

std::vector<std::string> ProviderBehaviour::names(const std::string& path) {
    std::vector<std::string> out;
    auto [files, error] = list(path);
    EXPECT_EQ(error, nullptr) << path << ": " << (error ? error->localizedDescription() : "");
    for (const auto& f : files) out.push_back(f->name());
    std::sort(out.begin(), out.end());
    return out;
}

std::pair<FileObjectRef, ErrorRef> ProviderBehaviour::attributes(const std::string& path) {
    auto r = awaitCompletion<FileObjectRef, ErrorRef>([&](auto done) { provider_->attributesOfItem(path, done); });
    if (!r) return {nullptr, platform::URLError::make(platform::URLError::timedOut)};
    return {std::get<0>(*r), std::get<1>(*r)};
}

namespace {
ErrorRef single(const std::optional<std::tuple<ErrorRef>>& r) {
    return r ? std::get<0>(*r) : platform::URLError::make(platform::URLError::timedOut);
}
}  // namespace

ErrorRef ProviderBehaviour::write(const std::string& path, const std::string& content, bool overwrite) {
    return single(awaitCompletion<ErrorRef>([&](auto done) {
        provider_->writeContents(path, platform::Data(content.begin(), content.end()), false, overwrite, done);
    }));
}

std::pair<std::optional<std::string>, ErrorRef> ProviderBehaviour::read(const std::string& path, int64_t offset, int64_t length) {
    auto r = awaitCompletion<std::optional<platform::Data>, ErrorRef>(
        [&](auto done) { provider_->contents(path, offset, length, done); });
    if (!r) return {std::nullopt, platform::URLError::make(platform::URLError::timedOut)};
    const auto& data = std::get<0>(*r);
    return {data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt, std::get<1>(*r)};
}

ErrorRef ProviderBehaviour::create(const std::string& folder, const std::string& at) {
    return single(awaitCompletion<ErrorRef>([&](auto done) { provider_->create(folder, at, done); }));
}
ErrorRef ProviderBehaviour::copy(const std::string& from, const std::string& to, bool overwrite) {
    return single(awaitCompletion<ErrorRef>([&](auto done) { provider_->copyItem(from, to, overwrite, done); }));
}
ErrorRef ProviderBehaviour::move(const std::string& from, const std::string& to, bool overwrite) {
    return single(awaitCompletion<ErrorRef>([&](auto done) { provider_->moveItem(from, to, overwrite, done); }));
}
ErrorRef ProviderBehaviour::remove(const std::string& path) {
    return single(awaitCompletion<ErrorRef>([&](auto done) { provider_->removeItem(path, done); }));
}
ErrorRef ProviderBehaviour::upload(const std::filesystem::path& local, const std::string& to, bool overwrite) {
    return single(awaitCompletion<ErrorRef>([&](auto done) {
        provider_->copyItem(platform::URL::fileURLWithPath(local.string()), to, overwrite, done);
    }));
}
ErrorRef ProviderBehaviour::download(const std::string& path, const std::filesystem::path& to) {
    return single(awaitCompletion<ErrorRef>([&](auto done) {
        provider_->copyItem(path, platform::URL::fileURLWithPath(to.string()), done);
    }));
}

bool ProviderBehaviour::eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> ProviderBehaviour::localNames(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace ostrane_test
