// The streaming matcher against literal expectations and against a naive
// search, fed in chunks of many sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "PatternMatcher.h"
#include "vexor/DatFormat.h"

namespace VexorEngine {
namespace {

std::vector<uint16_t> P(const std::string& text) {
    std::vector<uint16_t> pattern;
    for (const char c : text) {
        pattern.push_back(c == '?' ? kWildcard : static_cast<uint8_t>(c));
    }
    return pattern;
}

class Collector : public MatchSink {
  public:
    void OnMatch(uint32_t pattern, uint64_t start) override {
        matches.emplace_back(start, pattern);
    }
    std::vector<std::pair<uint64_t, uint32_t>> matches;
};

std::vector<std::pair<uint64_t, uint32_t>> Match(const PatternSet& set, const std::string& data,
                                                 size_t chunk) {
    Collector collector;
    MatchStream stream(set);
    for (size_t at = 0; at < data.size(); at += chunk) {
        const std::string_view piece = std::string_view(data).substr(at, chunk);
        stream.Feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), collector);
    }
    std::sort(collector.matches.begin(), collector.matches.end());
    return collector.matches;
}

std::string Render(const std::vector<std::pair<uint64_t, uint32_t>>& matches) {
    std::string text;
    for (const auto& [start, pattern] : matches) {
        text += (text.empty() ? "" : " ") + std::to_string(pattern) + "@" + std::to_string(start);
    }
    return text;
}

TEST(PatternMatcher, FindsEveryOccurrenceWhateverTheChunkSize) {
    const struct {
        const char* label;
        std::vector<std::string> patterns;
        std::string data;
        std::string expected;
    } cases[] = {
        {"suffix patterns", {"she", "he", "hers"}, "ushers", "0@1 1@2 2@2"},
        {"repeats and overlaps", {"aaa"}, "aaaaa", "0@0 0@1 0@2"},
        {"wildcards around the anchor", {"?x??yz?"}, "axbbyzc_xbbyz", "0@0"},
        {"wildcard before the stream start", {"??abc"}, "abc..abc", "0@3"},
        {"fixed bytes differ outside the anchor",
         {"Q?longanchor?Z"},
         "Q-longanchor-Y Q+longanchor+Z",
         "0@15"},
        {"anchor cut to its first 16 bytes",
         {"0123456789abcdefXYZ", "0123456789abcdefWWW"},
         "0123456789abcdefWWW",
         "1@0"},
        {"no match", {"needle"}, "haystack without it", ""},
        {"match at the very end", {"end"}, "the end", "0@4"},
    };
    for (const auto& c : cases) {
        std::vector<std::vector<uint16_t>> storage;
        for (const std::string& p : c.patterns) {
            storage.push_back(P(p));
        }
        std::vector<const std::vector<uint16_t>*> patterns;
        for (const auto& p : storage) {
            patterns.push_back(&p);
        }
        const PatternSet set(patterns);
        for (const size_t chunk : {size_t{1}, size_t{2}, size_t{5}, size_t{4096}}) {
            SCOPED_TRACE(std::string(c.label) + ", chunk " + std::to_string(chunk));
            EXPECT_EQ(c.expected, Render(Match(set, c.data, chunk)));
        }
    }
}

TEST(PatternMatcher, RejectsPatternsWithoutFixedBytes) {
    const std::vector<uint16_t> wild = P("????");
    EXPECT_THROW(PatternSet({&wild}), std::invalid_argument);
}

TEST(PatternMatcher, AgreesWithNaiveSearchOnRandomData) {
    std::mt19937 random(1234);
    const auto byte = [&] { return static_cast<uint16_t>(random() % 4 + 'a'); };  // small alphabet
    std::vector<std::vector<uint16_t>> storage(300);
    for (auto& pattern : storage) {
        const size_t length = 4 + random() % 30;
        for (size_t i = 0; i < length; ++i) {
            pattern.push_back(random() % 6 == 0 ? kWildcard : byte());
        }
        pattern[random() % length] = byte();
    }
    std::vector<const std::vector<uint16_t>*> patterns;
    for (const auto& p : storage) {
        patterns.push_back(&p);
    }
    const PatternSet set(patterns);

    std::string data(200000, 'a');
    for (char& c : data) {
        c = static_cast<char>(byte());
    }
    for (int planted = 0; planted < 200; ++planted) {
        const auto& p = storage[random() % storage.size()];
        const size_t at = random() % (data.size() - p.size());
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i] != kWildcard) {
                data[at + i] = static_cast<char>(p[i]);
            }
        }
    }
    std::vector<std::pair<uint64_t, uint32_t>> expected;
    for (uint32_t id = 0; id < storage.size(); ++id) {
        const auto& p = storage[id];
        for (size_t at = 0; at + p.size() <= data.size(); ++at) {
            bool equal = true;
            for (size_t i = 0; equal && i < p.size(); ++i) {
                equal = p[i] == kWildcard || p[i] == static_cast<uint8_t>(data[at + i]);
            }
            if (equal) {
                expected.emplace_back(at, id);
            }
        }
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_GT(expected.size(), 200u);
    for (const size_t chunk : {size_t{1}, size_t{33}, size_t{65536}}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        EXPECT_EQ(expected, Match(set, data, chunk));
    }
}

}  // namespace
}  // namespace VexorEngine
