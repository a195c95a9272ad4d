// Opens hand-off URLs in the desktop's handler for their scheme.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Brevane {

class NSWorkspace {
public:
    virtual ~NSWorkspace() = default;
    /// Asks the desktop to open `url`; false when it could not be started. Never blocks on the opener.
    virtual bool openURL(const std::string& url) = 0;

    /// The process-wide workspace (an `xdg-open` launcher unless replaced).
    static std::shared_ptr<NSWorkspace> shared();
    static void setShared(std::shared_ptr<NSWorkspace> workspace);
};

/// Runs `program url` with an argument vector (never a shell), detached from our standard streams.
class ProgramWorkspace : public NSWorkspace {
public:
    explicit ProgramWorkspace(std::string program = "xdg-open") : program_(std::move(program)) {}
    bool openURL(const std::string& url) override;
    const std::string& program() const { return program_; }

    /// The kernel refuses a single argument longer than this (MAX_ARG_STRLEN).
    static constexpr std::size_t maxArgumentLength = 32 * 4096 - 1;

private:
    std::string program_;
};

}  // namespace Brevane
