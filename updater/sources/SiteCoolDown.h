// Cool-downs that update sites asked for. A site that answers 429 (too
// many requests) or 503 (unavailable) with Retry-After is not asked again
// before that time, by this process or any other: the time is kept in the
// settings store, per site address, so it survives a restart, and a source
// whose address changed is asked at once (the new address has no cool-down).
//
//   const int64_t wait = RetryAfterSeconds(429, "120", now);     // 120
//   RecordSiteCoolDown(site, now + wait, "HTTP 429 Too Many Requests");
//   if (const auto cool = FindSiteCoolDown(site, now)) ...       // skip the site
//
// The store value is read as untrusted text: malformed lines are ignored.
// Callers serialise writes (the update pass lock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

// A download refused without a request because its site is cooling down:
// nothing was asked and nothing was answered, so the site has not failed.
class SiteCoolingDownException : public CTLVexorNetException {
public:
    using CTLVexorNetException::CTLVexorNetException;
};

// The longest a site may ask to be left alone, and what a 429 without
// Retry-After gets.
inline constexpr int64_t kMaxSiteCoolDownSeconds = 24 * 3600;
inline constexpr int64_t kDefaultTooManyRequestsSeconds = 600;

struct SiteCoolDown {
    int64_t not_before = 0;  // seconds since 1970
    std::string reason;      // "HTTP 429 Too Many Requests"
};

// Seconds to wait after an answer with status code and Retry-After header
// (delta-seconds or an HTTP date, "" when absent), capped at a day; 0 when
// the answer asks for no wait. A 429 with no usable header waits 10 minutes.
int64_t RetryAfterSeconds(int32_t status_code, const std::string& header, int64_t now);

// The cool-down of site still running at now, if any.
std::optional<SiteCoolDown> FindSiteCoolDown(const std::string& site, int64_t now);

// Keeps site's cool-down until not_before, replacing an earlier one and
// dropping every cool-down that has run out. Throws what the store throws.
void RecordSiteCoolDown(const std::string& site, int64_t not_before, const std::string& reason);

// "2026-12-09 14:05:00 UTC": a cool-down's end as texts show it.
std::string CoolDownTimeText(int64_t seconds);

}  // namespace TesselSoftware
