// ParsedUrl: splits an update-site URL and normalises it before it is
// requested: the host lower-cased and escaped, numeric IPv4 hosts in
// dotted-quad form, the path decoded, cleaned of "." and ".." segments and
// escaped again.
//
//   ParsedUrl url;
//   if (!url.Parse("http://Mirror:8080/Products//oem.ini")) ...  // "Invalid URL <...>"
//   url.url   -> "http://mirror/Products/oem.ini"
//   url.port  -> "8080"
//
// The normalised URL carries neither the port nor the user information; the
// transfer client passes those to the network library on their own.
#pragma once

#include <cstdint>
#include <string>

#include "Common/Text/PercentEncoding.h"

namespace TesselSoftware {

enum UrlScheme : int32_t { kSchemeNone = 0, kSchemeFile = 1, kSchemeFtp = 2, kSchemeHttp = 3, kSchemeHttps = 4 };

struct ParsedUrl {
    // Fills the fields from url; false when it does not parse (the fields
    // are then partly filled). Never throws.
    bool Parse(const std::string& text);

    std::string url;        // the input, then the normalised URL
    int32_t scheme = kSchemeNone;
    std::string host;       // normalised
    std::string path;       // normalised; starts with "/" unless empty
    std::string query;      // after "?" up to "#", as given
    std::string fragment;   // after "#", as given
    std::string port;       // the digits after ":" in the authority, as given
    std::string user_info;  // before "@" in the authority, as given (credentials)
};

// url with any user information shown as "***@": for logs and error texts.
std::string UrlForDisplay(const std::string& url);

}  // namespace TesselSoftware
