// test-labels: brevane
// Drives the real brevane program through its standard input, with a fake xdg-open on PATH.
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "brevane/NativeMessaging.hpp"

extern char** environ;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Program {
    pid_t pid = -1;
    int input = -1;   // its standard input
    int output = -1;  // its standard output
};

Program start(const fs::path& binary, const fs::path& fakeBin) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "PATH=", 5) != 0 && std::strncmp(*e, "BREVANE_URL_OPENER=", 19) != 0) env.emplace_back(*e);
    }
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + fakeBin.string() + ":" + (path ? path : "/usr/bin:/bin"));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = binary.string();
    // Browsers pass arguments of their own; the helper ignores them.
    std::string origin = "chrome-extension://abcdef/";
    char* argv[] = {program.data(), origin.data(), nullptr};

    Program p;
    EXPECT_EQ(posix_spawn(&p.pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    p.input = in[1];
    p.output = out[0];
    return p;
}

std::vector<json> readAll(int fd) {
    std::vector<json> messages;
    std::string text;
    while (true) {
        pollfd pfd{fd, POLLIN, 0};
        // Bounded: the helper must exit after the end of its input.
        if (poll(&pfd, 1, static_cast<int>(std::chrono::milliseconds(ostrane_test::hangLimit).count())) <= 0) break;
        if (Brevane::readNativeMessage(fd, text) != Brevane::FrameResult::message) break;
        messages.push_back(json::parse(text));
    }
    return messages;
}

}  // namespace

TEST(BrevaneProgram, CarriesCallsAndOpensHandOffURL) {
    const fs::path binary = fs::path(OSTRANE_BINARY_DIR) / "brevane";
    ASSERT_TRUE(fs::exists(binary)) << binary;
    const fs::path dir = fs::temp_directory_path() / ("brevane-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path opened = dir / "opened";
    {
        std::ofstream script(dir / "xdg-open");
        script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
    }
    fs::permissions(dir / "xdg-open", fs::perms::owner_all);

    signal(SIGPIPE, SIG_IGN);
    Program program = start(binary, dir);
    const json page = {{"id", 7}, {"url", "https://v.example/watch"}, {"title", "V"}};
    const std::vector<json> calls = {
        {{"call", "messageReceived"}, {"name", "safari_page_resource"}, {"page", page},
         {"userInfo", {{"resource", {{"url", "https://v.example/a b.mp4"}, {"title", "Ü"}}}}}},
        {{"call", "validateContextMenuItem"}, {"id", "q1"}, {"command", "calvora_playlist"}, {"page", page}},
        {{"call", "contextMenuItemSelected"}, {"command", "calvora_playlist"}, {"page", page}},
        {{"call", "validateToolbarItem"}, {"id", "q2"}, {"window", json::object()}},
        {{"call", "toolbarItemClicked"}, {"window", {{"activeTab", {{"activePage", page}}}}}},
    };
    for (const auto& call : calls) ASSERT_TRUE(Brevane::writeNativeMessage(program.input, call.dump()));
    // Not JSON: ignored, the helper goes on.
    ASSERT_TRUE(Brevane::writeNativeMessage(program.input, "{not json"));
    close(program.input);

    auto messages = readAll(program.output);
    close(program.output);
    int status = 0;
    waitpid(program.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::vector<json> expected = {
        {{"reply", "validateContextMenuItem"}, {"id", "q1"}, {"shouldHide", false}, {"text", nullptr}},
        {{"reply", "validateToolbarItem"}, {"id", "q2"}, {"enabled", true}, {"badgeText", ""}},
        {{"dispatch", "calvora_command"}, {"page", 7}, {"userInfo", {{"command", "prepare"}}}},
        {{"dispatch", "calvora_open"}, {"page", 7}},
    };
    EXPECT_EQ(messages, expected);

    std::string line;
    ostrane_test::waitUntil([&] {  // the opener runs detached
        std::ifstream in(opened);
        return std::getline(in, line) && !line.empty();
    });
    EXPECT_EQ(line,
              "dovavoziri:%7B%22command%22:%22addtoplaylist%22,%22title%22:%22%C3%9C%22,"
              "%22url%22:%22https:%5C/%5C/v.example%5C/a%20b.mp4%22%7D");
    fs::remove_all(dir);
}
