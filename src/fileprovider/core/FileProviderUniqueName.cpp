// A free file name in a folder: the name with a counter that no listed entry has taken.
#include "fileprovider/core/FileProvider.hpp"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>

namespace RiridOzizevud {

namespace {

// Splits a provider path into its directory, the file name without extension and the extension,
// as a file URL would (the extension follows the last "." that is neither first nor last).
struct PathParts {
    std::string dir;
    std::string base;
    std::string ext;
};

PathParts splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    PathParts parts;
    std::string name = path;
    if (const auto slash = path.rfind('/'); slash != std::string::npos) {
        parts.dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0 && dot + 1 < name.size()) {
        parts.base = name.substr(0, dot);
        parts.ext = name.substr(dot + 1);
    } else {
        parts.base = name;
    }
    if (parts.base.empty())
        parts.base = "noname";
    return parts;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool isBlank(const std::string& s) {
    return s.find_first_not_of(" \t\n\r\v\f") == std::string::npos;
}

// A decimal number as the counter; a number beyond 64 bits is no counter.
std::optional<int64_t> parseCounter(const std::string& word) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (first != last && *first == '+')
        ++first;
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || first == last)
        return std::nullopt;
    return n;
}

// The free file name in a listing for `parts`.
std::string uniqueName(const PathParts& parts, const std::vector<FileObjectRef>& files) {
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        const auto space = parts.base.find(' ', start);
        std::string w = parts.base.substr(start, space == std::string::npos ? std::string::npos : space - start);
        if (!isBlank(w))
            words.push_back(std::move(w));
        if (space == std::string::npos)
            break;
        start = space + 1;
    }
    std::string stem = parts.base;
    int64_t counter = 2;
    // A name that is only a number keeps it as its stem: "3" becomes "3 2", never ".txt".
    if (words.size() > 1) {
        if (const auto n = parseCounter(words.back())) {
            counter = *n;
            words.pop_back();
            stem.clear();
            for (const auto& w : words)
                stem += (stem.empty() ? "" : " ") + w;
        }
    }

    std::set<std::string> taken;
    for (const auto& f : files) {
        if (!f)
            continue;
        std::string name = f->url().lastPathComponent();
        if (name.empty())
            name = f->name();
        if (name.compare(0, stem.size(), stem) == 0)
            taken.insert(std::move(name));
    }

    auto withExt = [&](const std::string& n) { return parts.ext.empty() ? n : n + "." + parts.ext; };
    std::string working = stem;
    // Each round tries a new name, so the loop ends within one round per taken name.
    for (size_t rounds = 0; rounds <= taken.size() + 1; ++rounds) {
        const std::string candidate = withExt(working);
        if (!taken.count(candidate))
            return candidate;
        if (counter == std::numeric_limits<int64_t>::max()) {
            // The counter cannot grow: count on from the whole name instead.
            stem = parts.base;
            counter = 2;
        }
        working = stem + " " + std::to_string(counter);
        ++counter;  // below the largest value here, so it cannot overflow
    }
    return withExt(working);
}

} // namespace

std::string FileProviderBasic::fileByUniqueName(const std::string& filePath, double timeout) {
    const PathParts parts = splitPath(filePath);

    // Shared with a listing that may finish after this call has given up and returned.
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::string> name;
    };
    auto state = std::make_shared<State>();

    contentsOfDirectory(parts.dir, [state, parts](std::vector<FileObjectRef> files, ErrorRef) {
        std::string name = uniqueName(parts, files);
        {
            std::lock_guard lock(state->mutex);
            state->name = std::move(name);
        }
        state->done.notify_all();
    });

    std::string fileName = parts.ext.empty() ? parts.base : parts.base + "." + parts.ext;
    {
        std::unique_lock lock(state->mutex);
        const auto limit = std::chrono::duration<double>(timeout > 0 ? timeout : 0);
        if (state->done.wait_for(lock, limit, [&] { return state->name.has_value(); }))
            fileName = *state->name;
    }
    return joinPath(parts.dir, fileName);
}

} // namespace RiridOzizevud
