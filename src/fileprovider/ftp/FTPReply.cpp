#include "fileprovider/ftp/FTPReply.hpp"

#include <cctype>

namespace RiridOzizevud {

namespace {

bool isBlank(const std::string& s) {
    for (unsigned char c : s)
        if (!std::isspace(c)) return false;
    return true;
}

bool startsWithCode(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
}

} // namespace

std::vector<std::string> takeFTPReplies(std::string& buffer) {
    std::vector<std::string> replies;
    size_t replyStart = 0, pos = 0;
    std::string code;
    bool multi = false;
    while (true) {
        const size_t nl = buffer.find('\n', pos);
        if (nl == std::string::npos) break;
        std::string line = buffer.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = nl + 1;
        bool ends = false;
        if (multi) {
            ends = line.size() >= 3 && line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] == ' ');
        } else if (startsWithCode(line)) {
            code = line.substr(0, 3);
            multi = line.size() > 3 && line[3] == '-';
            ends = !multi;
        } else if (isBlank(line)) {
            replyStart = pos;
            continue;
        } else {
            ends = true;
        }
        if (ends) {
            replies.push_back(buffer.substr(replyStart, pos - replyStart));
            replyStart = pos;
            multi = false;
        }
    }
    buffer.erase(0, replyStart);
    return replies;
}

} // namespace RiridOzizevud
