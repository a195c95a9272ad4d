#include "fileprovider/ftp/FTPListParser.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <map>

namespace RiridOzizevud {

using platform::URLFileResourceType;
using platform::URLResourceKey;
using platform::Value;

namespace {

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

std::vector<std::string> split(std::string_view s, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t at = s.find(separator, start);
        const size_t end = at == std::string_view::npos ? s.size() : at;
        if (end > start) out.emplace_back(s.substr(start, end - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::optional<int64_t> decimal(std::string_view s) {
    if (s.empty()) return std::nullopt;
    if (s.front() == '+') s.remove_prefix(1);
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::string stripLeadingSlashes(std::string s) {
    size_t i = 0;
    while (i < s.size() && s[i] == '/') ++i;
    return s.substr(i);
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

FileObjectRef makeEntry(const std::string& name, std::string path, const std::optional<platform::URL>& baseURL) {
    if (!path.empty() && path.front() == '/') path.erase(0, 1);
    return std::make_shared<FileObject>(ftpURL(path, baseURL), name, "/" + path);
}

// Calendar fields as local time; nothing for fields that name no day.
std::optional<platform::Date> localDate(int year, int month, int day, int hour, int minute, int second) {
    if (year < 1 || year > 9999) return std::nullopt;
    return platform::Date::fromCalendar(year, month, day, hour, minute, second, true);
}

std::optional<platform::Date> utcDate(int year, int month, int day, int hour, int minute, int second) {
    return platform::Date::fromCalendar(year, month, day, hour, minute, second, false);
}

// "yyyyMMddHHmmss", fourteen digits and nothing else.
std::optional<platform::Date> factDate(const std::string& s) {
    if (s.size() != 14 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); })) return std::nullopt;
    auto n = [&](size_t at, size_t len) { return std::stoi(s.substr(at, len)); };
    return utcDate(n(0, 4), n(4, 2), n(6, 2), n(8, 2), n(10, 2), n(12, 2));
}

int monthOf(const std::string& text) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string l = lower(text);
    for (int i = 0; i < 12; ++i)
        if (l == months[i]) return i + 1;
    return 0;
}

std::optional<int> smallNumber(const std::string& s, size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    return std::stoi(s);
}

int currentLocalYear() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

// "MMM dd HH:mm" in the current year (a year back when that lies ahead), or "MMM dd yyyy".
std::optional<platform::Date> unixDate(const std::string& month, const std::string& day, const std::string& timeOrYear) {
    const int m = monthOf(month);
    const auto d = smallNumber(day, 2);
    if (!m || !d) return std::nullopt;
    const size_t colon = timeOrYear.find(':');
    if (colon != std::string::npos) {
        const auto h = smallNumber(timeOrYear.substr(0, colon), 2);
        const auto mi = smallNumber(timeOrYear.substr(colon + 1), 2);
        if (!h || !mi) return std::nullopt;
        const int year = currentLocalYear();
        auto date = localDate(year, m, *d, *h, *mi, 0);
        if (date && *date > platform::Date::now()) date = localDate(year - 1, m, *d, *h, *mi, 0);
        return date;
    }
    const auto y = smallNumber(timeOrYear, 4);
    if (!y) return std::nullopt;
    return localDate(*y, m, *d, 0, 0, 0);
}

// "M-d-y hh:mmAM"; two-digit years fall in 1970...2069.
std::optional<platform::Date> dosDate(const std::string& date, const std::string& time) {
    const auto parts = split(date, '-');
    if (parts.size() != 3) return std::nullopt;
    const auto m = smallNumber(parts[0], 2), d = smallNumber(parts[1], 2);
    auto y = smallNumber(parts[2], 4);
    if (!m || !d || !y) return std::nullopt;
    if (parts[2].size() <= 2) *y += *y < 70 ? 2000 : 1900;
    if (time.size() < 6) return std::nullopt;
    const std::string marker = lower(time.substr(time.size() - 2));
    if (marker != "am" && marker != "pm") return std::nullopt;
    const std::string clock = time.substr(0, time.size() - 2);
    const size_t colon = clock.find(':');
    if (colon == std::string::npos) return std::nullopt;
    auto h = smallNumber(clock.substr(0, colon), 2);
    const auto mi = smallNumber(clock.substr(colon + 1), 2);
    if (!h || !mi || *h < 1 || *h > 12) return std::nullopt;
    *h = *h % 12 + (marker == "pm" ? 12 : 0);
    return localDate(*y, *m, *d, *h, *mi, 0);
}

// The first `count` space-separated fields of a line and the raw text after them: a name keeps its
// runs of spaces, which splitting and joining would collapse.
struct FieldsAndRest {
    std::vector<std::string> fields;
    std::string rest;
};

std::optional<FieldsAndRest> fieldsAndRest(const std::string& line, size_t count) {
    FieldsAndRest out;
    size_t pos = 0;
    while (out.fields.size() < count) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos == line.size()) return std::nullopt;
        const size_t end = std::min(line.find(' ', pos), line.size());
        out.fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos == line.size()) return std::nullopt;
    out.rest = line.substr(pos);
    return out;
}

} // namespace

platform::URL ftpURL(const std::string& path, const std::optional<platform::URL>& baseURL) {
    const std::string encoded = percentEncodedPath(path);
    if (!baseURL) {
        if (auto u = platform::URL::parse(encoded)) return *u;
        return *platform::URL::parse("/");
    }
    const platform::URL absoluteBase = baseURL->absoluteURL();
    const std::string relative =
        stripLeadingSlashes(platform::URL::removeDotSegments("/" + stripLeadingSlashes(encoded)));
    if (auto u = platform::URL::parse(relative, absoluteBase)) return *u;
    return absoluteBase;
}

FileObjectRef parseMLSTLine(const std::string& line, const std::string& directory,
                            const std::optional<platform::URL>& baseURL) {
    // Facts end with "; " before the name; the name is all that follows, ";" and spaces included.
    const size_t separator = line.find("; ");
    if (separator == std::string::npos) return nullptr;
    const auto pieces = split(std::string_view(line).substr(0, separator), ';');
    if (pieces.empty()) return nullptr;
    std::string name = line.substr(separator + 2);
    if (name.empty()) return nullptr;
    std::string path;
    if (name.front() == '/') {
        path = name;
        const std::string basePath = baseURL ? baseURL->path() : "";
        std::string prefix = basePath;
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        if (!prefix.empty() && path.rfind(prefix, 0) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/'))
            path.erase(0, prefix.size());
        std::string trimmedName = name;
        while (trimmedName.size() > 1 && trimmedName.back() == '/') trimmedName.pop_back();
        name = trimmedName.substr(trimmedName.find_last_of('/') + 1);
        if (name.empty()) name = "/";
    } else {
        path = joinPath(directory, name);
    }

    std::map<std::string, std::string> facts;
    for (const auto& piece : pieces) {
        const auto parts = split(piece, '=');
        if (parts.size() < 2 || parts[0].empty()) continue;
        std::string value = parts[1];
        for (size_t j = 2; j < parts.size(); ++j) value += "=" + parts[j];
        facts[lower(trimmed(parts[0]))] = value;
    }

    auto entry = makeEntry(name, path, baseURL);
    auto& values = entry->allValues();
    if (auto t = facts.find("type"); t != facts.end()) {
        const std::string type = lower(t->second);
        if (type == "cdir" || type == "pdir") return nullptr;
        URLFileResourceType kind = URLFileResourceType::unknown;
        if (type == "file") kind = URLFileResourceType::regular;
        else if (type == "dir") kind = URLFileResourceType::directory;
        else if (type == "link") kind = URLFileResourceType::symbolicLink;
        else if (type == "os.unix=block") kind = URLFileResourceType::blockSpecial;
        entry->setType(kind);
    }
    if (auto f = facts.find("unique"); f != facts.end()) values[fileResourceIdentifierKey] = Value(f->second);
    if (auto f = facts.find("modify"); f != facts.end())
        if (auto d = factDate(f->second)) entry->setModifiedDate(*d);
    if (auto f = facts.find("create"); f != facts.end()) entry->setCreationDate(factDate(f->second));
    if (auto f = facts.find("perm"); f != facts.end()) {
        const std::string& p = f->second;
        values[URLResourceKey::isReadableKey] = Value(p.find_first_of("rl") != std::string::npos);
        values[URLResourceKey::isWritableKey] = Value(p.find_first_of("wa") != std::string::npos);
    }
    if (auto f = facts.find("size"); f != facts.end()) entry->setSize(decimal(f->second).value_or(-1));
    if (auto f = facts.find("media-type"); f != facts.end()) values[mimeTypeKey] = Value(f->second);
    return entry;
}

FileObjectRef parseUnixListLine(const std::string& line, const std::string& directory,
                                const std::optional<platform::URL>& baseURL) {
    const auto parsed = fieldsAndRest(line, 8);
    if (!parsed) return nullptr;
    const auto& fields = parsed->fields;
    const int64_t links = decimal(fields[1]).value_or(0);
    const int64_t size = decimal(fields[4]).value_or(-1);
    const char first = fields[0].empty() ? '\0' : fields[0][0];
    std::string name = parsed->rest;
    // A link is listed as "name -> target"; the entry is the link itself.
    if (first == 'l')
        if (const size_t arrow = name.find(" -> "); arrow != std::string::npos && arrow > 0) name.resize(arrow);
    if (name == "." || name == "..") return nullptr;
    auto entry = makeEntry(name, joinPath(directory, name), baseURL);
    entry->setType(first == 'd'   ? URLFileResourceType::directory
                   : first == 'l' ? URLFileResourceType::symbolicLink
                                  : URLFileResourceType::regular);
    entry->allValues()[URLResourceKey::isWritableKey] = Value(fields[0].find('w') != std::string::npos);
    entry->setSize(entry->isDirectory() ? -1 : size);
    entry->allValues()[linkCountKey] = Value(links);
    if (auto d = unixDate(fields[5], fields[6], fields[7])) entry->setModifiedDate(*d);
    return entry;
}

FileObjectRef parseDOSListLine(const std::string& line, const std::string& directory,
                               const std::optional<platform::URL>& baseURL) {
    const auto parsed = fieldsAndRest(line, 3);
    if (!parsed) return nullptr;
    const auto& fields = parsed->fields;
    const int64_t size = decimal(fields[2]).value_or(-1);
    const std::string& name = parsed->rest;
    if (name == "." || name == "..") return nullptr;
    auto entry = makeEntry(name, joinPath(directory, name), baseURL);
    entry->setType(fields[2] == "<DIR>" ? URLFileResourceType::directory : URLFileResourceType::regular);
    entry->setSize(size);
    entry->setModifiedDate(dosDate(fields[0], fields[1]));
    return entry;
}

std::vector<FileObjectRef> parseFTPListLines(const std::vector<std::string>& lines, bool useMLST,
                                             const std::string& directory, const std::optional<platform::URL>& baseURL) {
    std::vector<FileObjectRef> out;
    for (const auto& line : lines) {
        FileObjectRef entry;
        if (useMLST) {
            entry = parseMLSTLine(line, directory, baseURL);
        } else {
            entry = parseUnixListLine(line, directory, baseURL);
            if (!entry) entry = parseDOSListLine(line, directory, baseURL);
        }
        if (entry) out.push_back(std::move(entry));
    }
    return out;
}

std::optional<FTPDataAddress> parsePASVReply(const std::string& reply) {
    const auto words = split(trimmed(reply), ' ');
    if (words.empty()) return std::nullopt;
    std::vector<int64_t> numbers;
    for (const auto& piece : split(words.back(), ',')) {
        std::string digits;
        for (char c : piece)
            if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
        if (digits.empty() || digits.size() > 10) continue;
        const int64_t v = std::stoll(digits);
        if (v > 0xFFFFFFFFLL) continue;
        numbers.push_back(v);
    }
    if (numbers.size() != 6) return std::nullopt;
    FTPDataAddress address;
    address.host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
                   "." + std::to_string(numbers[3]);
    if (address.host == "127.555.555.555") address.host.clear();
    for (int i = 0; i < 6; ++i)
        if (numbers[i] > 255 && !(address.host.empty() && i < 4)) return std::nullopt;
    address.port = static_cast<int>(numbers[4] * 256 + numbers[5]);
    if (address.port < 1) return std::nullopt;
    return address;
}

std::optional<FTPDataAddress> parseEPSVReply(const std::string& reply) {
    const auto words = split(trimmed(reply), ' ');
    if (words.empty()) return std::nullopt;
    // Empty pieces count here: "(|||6446|)" is five pieces.
    std::vector<std::string> pieces;
    size_t start = 0;
    const std::string& word = words.back();
    for (;;) {
        const size_t at = word.find('|', start);
        pieces.push_back(word.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    if (pieces.size() <= 3) return std::nullopt;
    std::string digits;
    for (char c : pieces[3])
        if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    const int port = std::stoi(digits);
    if (port < 1 || port > 65535) return std::nullopt;
    return FTPDataAddress{pieces[2], port};
}

} // namespace RiridOzizevud
