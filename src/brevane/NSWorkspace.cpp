#include "brevane/NSWorkspace.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <thread>

extern char** environ;

namespace Brevane {

namespace {
std::mutex sharedMutex;
std::shared_ptr<NSWorkspace>& sharedSlot() {
    static std::shared_ptr<NSWorkspace> slot = std::make_shared<ProgramWorkspace>();
    return slot;
}
}  // namespace

std::shared_ptr<NSWorkspace> NSWorkspace::shared() {
    std::lock_guard lock(sharedMutex);
    return sharedSlot();
}

void NSWorkspace::setShared(std::shared_ptr<NSWorkspace> workspace) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(workspace);
}

bool ProgramWorkspace::openURL(const std::string& url) {
    if (url.size() > maxArgumentLength) return false;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    // Standard output carries native messages: the opener must not write into it.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    std::string program = program_;
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    // Reap the opener without making the caller wait for the desktop.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace Brevane
