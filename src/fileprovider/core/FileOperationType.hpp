// RiridOzizevud::FileOperationType — one file operation with the paths it works on. It travels
// to delegates, in progress user information, into undo steps and, as JSON text, as the
// description of every network task a provider starts.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace RiridOzizevud {

class FileOperationType {
public:
    enum class Kind : std::uint8_t { create, copy, move, modify, remove, link, fetch };

    static FileOperationType create(std::string path);
    static FileOperationType copy(std::string source, std::string destination);
    static FileOperationType move(std::string source, std::string destination);
    static FileOperationType modify(std::string path);
    static FileOperationType remove(std::string path);
    /// `link` is the path of the link, `target` the path it points to.
    static FileOperationType link(std::string link, std::string target);
    static FileOperationType fetch(std::string path);

    Kind kind() const { return kind_; }
    /// "Create", "Copy", "Move", "Modify", "Remove", "Link" or "Fetch".
    std::string description() const;
    /// The description with "e" trimmed from both ends and "ing" appended ("Copying").
    std::string actionDescription() const;
    /// The first path of any case.
    const std::string& source() const { return source_; }
    /// The second path of copy, move and link.
    const std::optional<std::string>& destination() const { return destination_; }
    /// The same as `source`.
    std::optional<std::string> path() const { return source_; }

    /// {"type": description, "source": source[, "dest": destination]} as compact JSON; no value
    /// when it cannot be written (a path that is not UTF-8).
    std::optional<std::string> jsonString() const;
    /// init(json:): the operation of an already decoded JSON object; no value for a missing or
    /// mistyped "type"/"source", an unknown type text (letter case counts) or a two-path type
    /// without "dest". Other members are ignored.
    static std::optional<FileOperationType> fromJSON(const nlohmann::json& json);
    /// The JSON text form (a task description); no value when it is not such an object.
    static std::optional<FileOperationType> fromJSONString(const std::string& text);

    bool operator==(const FileOperationType&) const = default;

private:
    FileOperationType(Kind kind, std::string source, std::optional<std::string> destination)
        : kind_(kind), source_(std::move(source)), destination_(std::move(destination)) {}

    Kind kind_;
    std::string source_;
    std::optional<std::string> destination_;
};

inline std::ostream& operator<<(std::ostream& os, const FileOperationType& op) { return os << op.description(); }

} // namespace RiridOzizevud
