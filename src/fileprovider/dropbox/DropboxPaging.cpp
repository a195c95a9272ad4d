// Listings and searches of DropboxFileProvider: the pages of "files/list_folder" and "files/search"
// that the base's page loop runs.
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "platform/data/JSON.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;

/// The server-search text of a predicate: a "name BEGINSWITH <text>" that every match must satisfy,
/// so the server's answer holds every entry the predicate can keep. A comparison under NOT or OR,
/// or with the text on the left, narrows nothing.
std::optional<std::string> serverQueryOf(const platform::Predicate& predicate) {
    using platform::ComparisonPredicate;
    using platform::CompoundPredicate;
    using platform::Expression;
    if (const auto* comparison = dynamic_cast<const ComparisonPredicate*>(&predicate)) {
        if (comparison->predicateOperatorType() != ComparisonPredicate::Operator::beginsWith ||
            comparison->comparisonPredicateModifier() != ComparisonPredicate::Modifier::direct)
            return std::nullopt;
        const auto& left = comparison->leftExpression();
        const auto& right = comparison->rightExpression();
        if (left.expressionType() != Expression::Type::keyPath || left.keyPath() != "name" ||
            right.expressionType() != Expression::Type::constantValue)
            return std::nullopt;
        const auto* text = right.constantValue().asString();
        if (!text || text->empty())
            return std::nullopt;
        return *text;
    }
    if (const auto* compound = dynamic_cast<const CompoundPredicate*>(&predicate);
        compound && compound->compoundPredicateType() == CompoundPredicate::LogicalType::and_) {
        for (const auto& sub : compound->subpredicates())
            if (sub)
                if (auto query = serverQueryOf(*sub))
                    return query;
    }
    return std::nullopt;
}

/// The search offset a page token stands for; 0 for none or one that is not a number.
uint64_t startOf(const std::optional<std::string>& token) {
    if (!token)
        return 0;
    uint64_t start = 0;
    const auto [end, error] = std::from_chars(token->data(), token->data() + token->size(), start);
    if (error != std::errc() || end != token->data() + token->size())
        return 0;
    return start;
}

} // namespace

// --- Listing and search --------------------------------------------------------------------------

void DropboxFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    searchFiles(path, false, platform::Predicate::value(true), nullptr, std::move(completionHandler));
}

ProgressRef DropboxFileProvider::searchFiles(const std::string& path, bool recursive,
                                             const platform::PredicateRef& query, FoundItemHandler foundItemHandler,
                                             FilesCompletionHandler completionHandler) {
    const bool everything = !query || query->predicateFormat() == "TRUEPREDICATE";
    // The server searches every folder below the path, so it answers only a recursive search.
    const std::optional<std::string> serverQuery = !everything && recursive ? serverQueryOf(*query) : std::nullopt;
    const URL fileURL = url(path);
    std::weak_ptr<DropboxFileProvider> weak = self();

    auto requestHandler = [weak, path, recursive, serverQuery](const std::optional<std::string>& token)
        -> std::optional<URLRequest> {
        auto provider = weak.lock();
        if (!provider)
            return std::nullopt;
        if (serverQuery) {
            const Json body = {{"path", *normalizedPath(path)}, {"query", *serverQuery}, {"start", startOf(token)}};
            return provider->rpcRequest("files/search", body);
        }
        if (token)
            return provider->rpcRequest("files/list_folder/continue", Json{{"cursor", *token}});
        Json body = {{"recursive", recursive}};
        if (const auto normalized = normalizedPath(path))
            body["path"] = *normalized;
        return provider->rpcRequest("files/list_folder", body);
    };

    auto pageHandler = [everything, query, foundItemHandler, fileURL](const std::optional<Data>& data,
                                                                     const ProgressRef& progress) -> Page {
        const auto json = platform::JSON::object(data);
        const Json* list = nullptr;
        if (json)
            list = platform::JSON::member(*json, "entries") ? platform::JSON::member(*json, "entries")
                                                            : platform::JSON::member(*json, "matches");
        if (!list || !list->is_array())
            return {{}, unreadableAnswer(fileURL), std::nullopt};

        std::vector<FileObjectRef> kept;
        for (const auto& element : *list) {
            if (!element.is_object())
                continue;
            FileObjectRef entry = DropboxFileObject::make(element);
            if (!entry)
                continue;
            if (!everything && !query->evaluate(entry->predicateAttributes()))
                continue;
            kept.push_back(entry);
            if (progress)
                progress->setCompletedUnitCount(progress->completedUnitCount() + 1);
            if (foundItemHandler)
                foundItemHandler(entry);
        }

        // A page that announces more without saying where it goes on would end a partial listing
        // as if it were whole.
        std::optional<std::string> next;
        if (platform::JSON::lenient<bool>(*json, "has_more").value_or(false)) {
            next = platform::JSON::lenient<std::string>(*json, "cursor");
            if (!next)
                return {{}, unreadableAnswer(fileURL), std::nullopt};
        } else if (platform::JSON::lenient<bool>(*json, "more").value_or(false)) {
            const auto start = platform::JSON::lenient<uint64_t>(*json, "start");
            if (!start)
                return {{}, unreadableAnswer(fileURL), std::nullopt};
            next = std::to_string(*start);
        }
        return {std::move(kept), nullptr, next};
    };

    return paginated(path, std::move(requestHandler), std::move(pageHandler), std::move(completionHandler));
}

} // namespace RiridOzizevud
