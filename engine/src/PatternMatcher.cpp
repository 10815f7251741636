// Aho-Corasick over pattern anchors, with verification of the whole pattern.
#include "PatternMatcher.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "vexor/DatFormat.h"

namespace VexorEngine {

namespace {

// The trie while patterns are added: children as sibling lists, which keeps
// insertion cheap; it is laid out breadth-first into sorted edge arrays after.
struct TrieNode {
    uint32_t first_child;
    uint32_t next_sibling;
    uint32_t output;
    uint8_t byte;
};

}  // namespace

PatternSet::PatternSet(const std::vector<const std::vector<uint16_t>*>& patterns) {
    std::vector<TrieNode> trie(1, TrieNode{kNone, kNone, kNone, 0});
    std::array<uint32_t, 256> root_children;
    root_children.fill(kNone);

    // Each pattern's anchor: its longest run of fixed bytes, at most
    // kMaxAnchorLength long.
    struct Anchor {
        std::array<uint8_t, kMaxAnchorLength> bytes;
        uint16_t offset;
        uint16_t length;
    };
    std::vector<Anchor> anchors(patterns.size());
    for (uint32_t id = 0; id < patterns.size(); ++id) {
        const std::vector<uint16_t>& pattern = *patterns[id];
        size_t anchor_offset = 0;
        const size_t run = LongestFixedRun(pattern, &anchor_offset);
        if (run == 0 || pattern.size() > kMaxPatternLength) {
            throw std::invalid_argument("pattern without fixed bytes or too long");
        }
        for (const uint16_t element : pattern) {
            if (element > kWildcard) {
                throw std::invalid_argument("bad pattern element");
            }
        }
        Anchor& anchor = anchors[id];
        anchor.offset = static_cast<uint16_t>(anchor_offset);
        anchor.length = static_cast<uint16_t>(std::min(run, kMaxAnchorLength));
        anchor.bytes.fill(0);
        for (size_t j = 0; j < anchor.length; ++j) {
            anchor.bytes[j] = static_cast<uint8_t>(pattern[anchor_offset + j]);
        }
    }

    // Anchors go into the trie in byte order: each one then shares its path
    // with the one before, whose child is the head of every sibling list it
    // walks, so insertion stays in cache instead of chasing long lists. The
    // trie's shape, and so the automaton, does not depend on the order.
    std::vector<uint32_t> order(patterns.size());
    for (uint32_t id = 0; id < order.size(); ++id) order[id] = id;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const Anchor& x = anchors[a];
        const Anchor& y = anchors[b];
        const int c = std::memcmp(x.bytes.data(), y.bytes.data(), std::min(x.length, y.length));
        return c != 0 ? c < 0 : x.length < y.length;
    });
    std::vector<uint32_t> terminal(patterns.size());
    for (const uint32_t id : order) {
        const Anchor& anchor = anchors[id];
        uint32_t node = 0;
        for (size_t j = 0; j < anchor.length; ++j) {
            const uint8_t byte = anchor.bytes[j];
            uint32_t child = node == 0 ? root_children[byte] : trie[node].first_child;
            if (node != 0) {
                while (child != kNone && trie[child].byte != byte) {
                    child = trie[child].next_sibling;
                }
            }
            if (child == kNone) {
                child = static_cast<uint32_t>(trie.size());
                const uint32_t sibling = node == 0 ? kNone : trie[node].first_child;
                trie.push_back(TrieNode{kNone, sibling, kNone, byte});
                if (node == 0) {
                    root_children[byte] = child;
                } else {
                    trie[node].first_child = child;
                }
            }
            node = child;
        }
        terminal[id] = node;
    }

    // Outputs in pattern order, as matches are reported.
    for (uint32_t id = 0; id < patterns.size(); ++id) {
        const std::vector<uint16_t>& pattern = *patterns[id];
        const uint32_t node = terminal[id];
        outputs_.push_back(Output{id, anchors[id].offset, anchors[id].length, trie[node].output});
        trie[node].output = static_cast<uint32_t>(outputs_.size() - 1);
        starts_.push_back(static_cast<uint32_t>(elements_.size()));
        lengths_.push_back(static_cast<uint16_t>(pattern.size()));
        elements_.insert(elements_.end(), pattern.begin(), pattern.end());
        max_length_ = std::max(max_length_, pattern.size());
    }

    // Breadth-first layout: a state's number is its place in the queue.
    std::vector<uint32_t> queue{0};
    queue.reserve(trie.size());
    nodes_.resize(trie.size());
    std::vector<std::pair<uint8_t, uint32_t>> children;
    for (size_t head = 0; head < queue.size(); ++head) {
        const uint32_t old_id = queue[head];
        children.clear();
        if (old_id == 0) {
            for (int b = 0; b < 256; ++b) {
                if (root_children[b] != kNone) {
                    children.emplace_back(b, root_children[b]);
                }
            }
        } else {
            for (uint32_t c = trie[old_id].first_child; c != kNone; c = trie[c].next_sibling) {
                children.emplace_back(trie[c].byte, c);
            }
            std::sort(children.begin(), children.end());
        }
        Node& node = nodes_[head];
        node.output = trie[old_id].output;
        node.first_edge = static_cast<uint32_t>(edge_bytes_.size());
        node.edge_count = static_cast<uint32_t>(children.size());
        for (const auto& [byte, child] : children) {
            edge_bytes_.push_back(byte);
            edge_targets_.push_back(static_cast<uint32_t>(queue.size()));
            queue.push_back(child);
        }
    }
    root_.fill(0);
    for (uint32_t e = 0; e < nodes_[0].edge_count; ++e) {
        root_[edge_bytes_[e]] = edge_targets_[e];
    }

    // Failure and dictionary links, shallow states first.
    for (uint32_t v = 0; v < nodes_.size(); ++v) {
        for (uint32_t e = 0; e < nodes_[v].edge_count; ++e) {
            const uint32_t edge = nodes_[v].first_edge + e;
            const uint32_t w = edge_targets_[edge];
            const uint32_t fail = v == 0 ? 0 : SparseStep(nodes_[v].fail, edge_bytes_[edge]);
            nodes_[w].fail = fail;
            nodes_[w].dict = nodes_[fail].output != kNone ? fail : nodes_[fail].dict;
        }
    }
    // Breadth-first numbering puts the states one byte deep right after the root.
    dense_limit_ = nodes_[0].edge_count;
    dense_.resize((size_t{dense_limit_} + 1) * 256);
    for (uint32_t state = 0; state <= dense_limit_; ++state) {
        for (int b = 0; b < 256; ++b) {
            dense_[size_t{state} * 256 + b] = SparseStep(state, static_cast<uint8_t>(b));
        }
    }
    if (max_length_ == 0) {
        max_length_ = 1;
    }
}

uint32_t PatternSet::SparseStep(uint32_t state, uint8_t byte) const {
    while (state != 0) {
        const uint32_t next = Child(state, byte);
        if (next != kNone) {
            return next;
        }
        state = nodes_[state].fail;
    }
    return root_[byte];
}

uint32_t PatternSet::Child(uint32_t state, uint8_t byte) const {
    const Node& node = nodes_[state];
    const uint8_t* first = edge_bytes_.data() + node.first_edge;
    const uint8_t* last = first + node.edge_count;
    if (node.edge_count <= 8) {
        for (const uint8_t* p = first; p != last; ++p) {
            if (*p == byte) {
                return edge_targets_[p - edge_bytes_.data()];
            }
        }
        return kNone;
    }
    const uint8_t* p = std::lower_bound(first, last, byte);
    return p != last && *p == byte ? edge_targets_[p - edge_bytes_.data()] : kNone;
}

MatchStream::MatchStream(const PatternSet& set) : set_(set) {
    tail_.reserve(set.max_length());
}

uint8_t MatchStream::ByteAt(uint64_t at, const uint8_t* data) const {
    if (at >= position_) {
        return data[at - position_];
    }
    return tail_[tail_.size() - static_cast<size_t>(position_ - at)];
}

bool MatchStream::Verify(uint32_t pattern, uint64_t start, const uint8_t* data) const {
    const uint16_t* elements = set_.elements_.data() + set_.starts_[pattern];
    const size_t length = set_.lengths_[pattern];
    for (size_t j = 0; j < length; ++j) {
        if (elements[j] != kWildcard && elements[j] != ByteAt(start + j, data)) {
            return false;
        }
    }
    return true;
}

void MatchStream::ResolvePending(uint64_t reached, const uint8_t* data, MatchSink& sink) {
    next_pending_end_ = UINT64_MAX;
    size_t kept = 0;
    for (const Pending& p : pending_) {
        if (p.end <= reached) {
            if (Verify(p.pattern, p.start, data)) {
                sink.OnMatch(p.pattern, p.start);
            }
        } else {
            next_pending_end_ = std::min(next_pending_end_, p.end);
            pending_[kept++] = p;
        }
    }
    pending_.resize(kept);
}

void MatchStream::Feed(const uint8_t* data, size_t size, MatchSink& sink) {
    const std::vector<PatternSet::Node>& nodes = set_.nodes_;
    uint32_t state = state_;
    for (size_t i = 0; i < size; ++i) {
        state = set_.Step(state, data[i]);
        const uint64_t reached = position_ + i + 1;
        if (reached >= next_pending_end_) {
            ResolvePending(reached, data, sink);
        }
        const PatternSet::Node& node = nodes[state];
        if (node.output == PatternSet::kNone && node.dict == PatternSet::kNone) {
            continue;
        }
        uint32_t s = node.output != PatternSet::kNone ? state : node.dict;
        for (; s != PatternSet::kNone; s = nodes[s].dict) {
            for (uint32_t o = nodes[s].output; o != PatternSet::kNone; o = set_.outputs_[o].next) {
                const PatternSet::Output& out = set_.outputs_[o];
                const uint64_t before = uint64_t{out.anchor_offset} + out.anchor_length;
                if (reached < before) {
                    continue;
                }
                const uint64_t start = reached - before;
                const uint64_t end = start + set_.lengths_[out.pattern];
                if (end <= reached) {
                    if (Verify(out.pattern, start, data)) {
                        sink.OnMatch(out.pattern, start);
                    }
                } else {
                    pending_.push_back(Pending{end, start, out.pattern});
                    next_pending_end_ = std::min(next_pending_end_, end);
                }
            }
        }
    }
    state_ = state;
    KeepTail(data, size);
    position_ += size;
}

void MatchStream::KeepTail(const uint8_t* data, size_t size) {
    const size_t keep = set_.max_length() - 1;
    if (size >= keep) {
        tail_.assign(data + size - keep, data + size);
        return;
    }
    tail_.insert(tail_.end(), data, data + size);
    if (tail_.size() > keep) {
        tail_.erase(tail_.begin(), tail_.end() - static_cast<long>(keep));
    }
}

}  // namespace VexorEngine
