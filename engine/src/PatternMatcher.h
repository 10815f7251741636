// Multi-pattern matching with single-byte wildcards in one streaming pass.
//
// Each pattern is indexed by its longest run of fixed bytes (its anchor, cut
// to kMaxAnchorLength) in an Aho-Corasick automaton; an anchor hit is then
// verified against the whole pattern. The stream keeps only the last
// max_length() - 1 bytes and the hits still waiting for their pattern's last
// byte, so memory does not grow with the data.
//
//   PatternSet set(patterns);
//   MatchStream stream(set);
//   stream.Feed(chunk, size, sink);   // sink.OnMatch(pattern, start offset)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace VexorEngine {

class PatternSet {
  public:
    static constexpr size_t kMaxAnchorLength = 16;

    // patterns hold byte values 0..255 or kWildcard and at least one fixed
    // byte each; throws std::invalid_argument otherwise.
    explicit PatternSet(const std::vector<const std::vector<uint16_t>*>& patterns);
    PatternSet(const PatternSet&) = delete;
    PatternSet& operator=(const PatternSet&) = delete;

    size_t size() const { return lengths_.size(); }
    size_t length(uint32_t pattern) const { return lengths_[pattern]; }
    size_t max_length() const { return max_length_; }
    size_t state_count() const { return nodes_.size(); }

  private:
    friend class MatchStream;
    static constexpr uint32_t kNone = UINT32_MAX;

    struct Node {
        uint32_t first_edge = 0;
        uint32_t edge_count = 0;
        uint32_t fail = 0;
        uint32_t output = kNone;  // first Output ending here
        uint32_t dict = kNone;    // nearest suffix state with outputs
    };
    struct Output {
        uint32_t pattern;
        uint16_t anchor_offset;
        uint16_t anchor_length;
        uint32_t next;  // next Output of the same state, or kNone
    };

    uint32_t Child(uint32_t state, uint8_t byte) const;
    // The root and the states one byte deep (numbers 0..dense_limit_) have
    // complete transition rows, so most steps over ordinary data are one
    // look-up; deeper states follow their edges and failure links down to one.
    uint32_t Step(uint32_t state, uint8_t byte) const {
        while (state > dense_limit_) {
            const uint32_t next = Child(state, byte);
            if (next != kNone) {
                return next;
            }
            state = nodes_[state].fail;
        }
        return dense_[size_t{state} * 256 + byte];
    }
    uint32_t SparseStep(uint32_t state, uint8_t byte) const;

    // Constant after construction
    std::vector<Node> nodes_;
    std::vector<uint8_t> edge_bytes_;
    std::vector<uint32_t> edge_targets_;
    std::array<uint32_t, 256> root_{};
    std::vector<uint32_t> dense_;
    uint32_t dense_limit_ = 0;
    std::vector<Output> outputs_;
    std::vector<uint32_t> starts_;  // pattern i's elements begin at elements_[starts_[i]]
    std::vector<uint16_t> lengths_;
    std::vector<uint16_t> elements_;
    size_t max_length_ = 0;
};

class MatchSink {
  public:
    virtual ~MatchSink() = default;
    // start is the offset of the match's first byte from the stream's start.
    virtual void OnMatch(uint32_t pattern, uint64_t start) = 0;
};

// One pass over one object's bytes. Not thread-safe; a set may serve many
// streams at once.
class MatchStream {
  public:
    explicit MatchStream(const PatternSet& set);

    void Feed(const uint8_t* data, size_t size, MatchSink& sink);
    uint64_t position() const { return position_; }

  private:
    struct Pending {
        uint64_t end;
        uint64_t start;
        uint32_t pattern;
    };

    uint8_t ByteAt(uint64_t at, const uint8_t* data) const;
    bool Verify(uint32_t pattern, uint64_t start, const uint8_t* data) const;
    void ResolvePending(uint64_t reached, const uint8_t* data, MatchSink& sink);
    void KeepTail(const uint8_t* data, size_t size);

    const PatternSet& set_;
    uint32_t state_ = 0;
    uint64_t position_ = 0;      // bytes before the chunk being fed
    std::vector<uint8_t> tail_;  // the last max_length - 1 bytes before it
    std::vector<Pending> pending_;
    uint64_t next_pending_end_ = UINT64_MAX;
};

}  // namespace VexorEngine
