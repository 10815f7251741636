#include "sources/UrlParser.h"

#include "Common/Text/PercentEncoding.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <vector>

namespace TesselSoftware {

namespace {

const boost::regex& UrlExpression() {
    static const boost::regex expression(
        "(.*?)://(?:([^@/]*)@)?([^/:]+)(?::(\\d+))?(/[^#?\n\t\r ]*)?(.*?)", boost::regex::perl);
    return expression;
}

const boost::regex& RestExpression() {
    static const boost::regex expression("(?:\\?([^#]*?))?(?:#(.*))?", boost::regex::perl);
    return expression;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// One number of a numeric host: octal after a leading "0", hexadecimal
// after "0x", decimal otherwise. False for anything else, or a value that
// needs more than 32 bits.
bool ReadHostNumber(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    int base = 10;
    size_t at = 0;
    if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') {
        base = 16;
        at = 2;
        if (at == text.size()) return false;
    } else if (text[0] == '0') {
        base = 8;
    }
    uint64_t result = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0 || digit >= base) return false;
        result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = result;
    return true;
}

// The classic address notation: a, a.b, a.b.c or a.b.c.d, each part no
// wider than its slot. Anything else leaves the host as it is.
std::string NumericHost(const std::string& host) {
    std::vector<uint64_t> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = host.find('.', start);
        uint64_t value = 0;
        if (!ReadHostNumber(host.substr(start, dot - start), &value)) return host;
        parts.push_back(value);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() > 4) return host;
    const int leading = static_cast<int>(parts.size()) - 1;
    for (int i = 0; i < leading; ++i) {
        if (parts[static_cast<size_t>(i)] > 0xFF) return host;
    }
    const int last_bits = 32 - 8 * leading;
    if (last_bits < 32 && parts.back() >= (uint64_t{1} << last_bits)) return host;
    uint64_t address = parts.back();
    for (int i = 0; i < leading; ++i) address |= parts[static_cast<size_t>(i)] << (24 - 8 * i);
    return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) +
           "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string NormalisedPath(const std::string& raw) {
    const std::string decoded = PercentDecode(raw);
    std::vector<std::string> kept;
    size_t start = 0;
    for (;;) {
        const size_t slash = decoded.find('/', start);
        const std::string piece = decoded.substr(start, slash - start);
        if (piece == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!piece.empty() && piece != ".") {
            kept.push_back(PercentEncode(piece));
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string path;
    for (const std::string& segment : kept) path += "/" + segment;
    if (decoded.empty() || decoded.back() == '/') path += "/";
    return path;
}

const char* SchemeText(int32_t scheme) {
    switch (scheme) {
        case kSchemeFile: return "file";
        case kSchemeFtp: return "ftp";
        case kSchemeHttp: return "http";
        case kSchemeHttps: return "https";
        default: return "";
    }
}

}  // namespace

bool ParsedUrl::Parse(const std::string& text) {
    url = text;
    try {
        boost::smatch parts;
        if (!boost::regex_match(text, parts, UrlExpression())) return false;
        const std::string scheme_text = parts[1].str();
        scheme = kSchemeNone;
        for (int32_t candidate : {kSchemeFile, kSchemeFtp, kSchemeHttp, kSchemeHttps}) {
            if (scheme_text == SchemeText(candidate)) scheme = candidate;
        }
        if (scheme == kSchemeNone) return false;
        user_info = parts[2].str();
        host = parts[3].str();
        port = parts[4].str();
        path = parts[5].str();
        const std::string rest = parts[6].str();
        boost::smatch rest_parts;
        query.clear();
        fragment.clear();
        if (boost::regex_match(rest, rest_parts, RestExpression())) {
            query = rest_parts[1].str();
            fragment = rest_parts[2].str();
        }
        host = NumericHost(PercentEncode(PercentDecode(LowerAscii(host))));
        path = NormalisedPath(path);
        url = std::string(SchemeText(scheme)) + "://" + host + path;
        if (!query.empty()) url += "?" + query;
        if (!fragment.empty()) url += "#" + fragment;
        return true;
    } catch (const std::exception&) {
        return false;  // the expression machinery gave up (too complex a text)
    }
}

std::string UrlForDisplay(const std::string& url) {
    const size_t authority = url.find("://");
    if (authority == std::string::npos) return url;
    const size_t start = authority + 3;
    // User information ends at the last "@" before the path; a password
    // may hold "/" too (the address is the administrator's text), so an "@"
    // in what looks like the path hides everything before it when a ":"
    // (a password) precedes it. Hiding too much is harmless here.
    const size_t end = std::min(url.find_first_of("?#", start), url.size());
    const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) return url;
    const size_t slash = url.find('/', start);
    const bool plain_authority = slash == std::string::npos || slash > at;
    if (!plain_authority && url.find(':', start) > at) return url;  // an "@" in the path
    return url.substr(0, start) + "***" + url.substr(at);
}

}  // namespace TesselSoftware
