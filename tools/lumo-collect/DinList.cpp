#include "DinList.h"

#include <cctype>

namespace lumo_collect {

namespace {

constexpr std::size_t kDinLength = 11;
constexpr std::size_t kFirstDash = 3;
constexpr std::size_t kSecondDash = 7;

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

} // namespace

bool isValidDin(const std::string &din)
{
    if (din.size() != kDinLength)
        return false;
    for (std::size_t i = 0; i < din.size(); ++i) {
        const bool dashPlace = (i == kFirstDash || i == kSecondDash);
        const auto c = static_cast<unsigned char>(din[i]);
        if (dashPlace ? c != '-' : !std::isdigit(c))
            return false;
    }
    return true;
}

bool parseDinList(const std::string &text, std::set<std::string> &dins, std::string &error)
{
    std::set<std::string> parsed;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        const auto item = trimmed(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item.empty()) {
            error = "empty DIN in list \"" + text + "\"";
            return false;
        }
        if (!isValidDin(item)) {
            error = "malformed DIN \"" + item + "\" (expected NNN-NNN-NNN, e.g. 000-001-234)";
            return false;
        }
        parsed.insert(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    dins.insert(parsed.begin(), parsed.end());
    return true;
}

} // namespace lumo_collect
