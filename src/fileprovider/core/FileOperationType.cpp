#include "fileprovider/core/FileOperationType.hpp"

namespace RiridOzizevud {

FileOperationType FileOperationType::create(std::string path) { return {Kind::create, std::move(path), std::nullopt}; }
FileOperationType FileOperationType::copy(std::string source, std::string destination) {
    return {Kind::copy, std::move(source), std::move(destination)};
}
FileOperationType FileOperationType::move(std::string source, std::string destination) {
    return {Kind::move, std::move(source), std::move(destination)};
}
FileOperationType FileOperationType::modify(std::string path) { return {Kind::modify, std::move(path), std::nullopt}; }
FileOperationType FileOperationType::remove(std::string path) { return {Kind::remove, std::move(path), std::nullopt}; }
FileOperationType FileOperationType::link(std::string link, std::string target) {
    return {Kind::link, std::move(link), std::move(target)};
}
FileOperationType FileOperationType::fetch(std::string path) { return {Kind::fetch, std::move(path), std::nullopt}; }

std::string FileOperationType::description() const {
    switch (kind_) {
    case Kind::create: return "Create";
    case Kind::copy: return "Copy";
    case Kind::move: return "Move";
    case Kind::modify: return "Modify";
    case Kind::remove: return "Remove";
    case Kind::link: return "Link";
    case Kind::fetch: return "Fetch";
    }
    return "";
}

std::string FileOperationType::actionDescription() const {
    std::string d = description();
    const auto first = d.find_first_not_of('e');
    if (first == std::string::npos)
        return "ing";
    const auto last = d.find_last_not_of('e');
    return d.substr(first, last - first + 1) + "ing";
}

std::optional<std::string> FileOperationType::jsonString() const {
    try {
        nlohmann::json j = nlohmann::json::object();
        j["type"] = description();
        j["source"] = source_;
        if (destination_)
            j["dest"] = *destination_;
        return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<FileOperationType> FileOperationType::fromJSON(const nlohmann::json& json) {
    if (!json.is_object())
        return std::nullopt;
    const auto type = json.find("type");
    const auto source = json.find("source");
    if (type == json.end() || !type->is_string() || source == json.end() || !source->is_string())
        return std::nullopt;
    const std::string& t = type->get_ref<const std::string&>();
    std::string src = source->get<std::string>();
    std::optional<std::string> dest;
    if (const auto d = json.find("dest"); d != json.end() && d->is_string())
        dest = d->get<std::string>();

    if (t == "Fetch") return fetch(std::move(src));
    if (t == "Create") return create(std::move(src));
    if (t == "Modify") return modify(std::move(src));
    if (t == "Remove") return remove(std::move(src));
    if (t == "Copy" || t == "Move" || t == "Link") {
        if (!dest)
            return std::nullopt;
        if (t == "Copy") return copy(std::move(src), std::move(*dest));
        if (t == "Move") return move(std::move(src), std::move(*dest));
        return link(std::move(src), std::move(*dest));
    }
    return std::nullopt;
}

std::optional<FileOperationType> FileOperationType::fromJSONString(const std::string& text) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded())
        return std::nullopt;
    return fromJSON(j);
}

} // namespace RiridOzizevud
