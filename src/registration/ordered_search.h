// The search rule of every registration loop — keep a candidate only when its score is
// strictly below the best so far, the best held in single precision — evaluated in any
// order and on any number of threads, with the same outcome as the plain loop.
//
// Why any order works: let W be the candidate the plain loop keeps last. Replaying the loop
// over any subset of the candidates that contains W, in their order, ends on W too (the best
// held can only be higher for a subset, so W is still kept, and after W both runs agree).
// A candidate i may therefore be skipped once its score is known to be at least
// nextafter(float(m_j)) for some candidate j scored exactly, whatever the order of i and j:
// then W cannot be i (if j came first, i could not be kept; if j came later, j would replace
// i). Likewise, after a prefix has been replayed, the best it holds bounds the rest (a search
// split into parts runs each from the best of the parts before it).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/parallel.h"
#include "common/precision.h"
#include "registration/difference_kernel.h"

struct SearchOutcome {
    std::int64_t winner = -1;   // index of the candidate kept last, -1 when none was kept
    float best = 0;             // the best score held at the end
};

// A candidate whose measure was computed exactly.
struct ScoredCandidate {
    std::int64_t index;
    Extended value;
};

// The plain loop replayed over the candidates scored exactly, sorted into their order: each
// kept when it scores strictly lower than the best held, starting from best.
inline SearchOutcome replayInOrder(std::vector<ScoredCandidate>& scored, float best) {
    std::sort(scored.begin(), scored.end(),
              [](const ScoredCandidate& x, const ScoredCandidate& y) { return x.index < y.index; });
    SearchOutcome outcome;
    outcome.best = best;
    for (const ScoredCandidate& c : scored) {
        if (outcome.best > c.value) {
            outcome.best = float(c.value);
            outcome.winner = c.index;
        }
    }
    return outcome;
}

// What the first pass of a ranked search learnt: the candidates left to finish, each with its
// partial sum and key (the partial mean, never negative), and those already measured exactly.
// Aligned to a cache line: the ledgers of one search are filled by different threads side by side.
struct alignas(64) RankedLedger {
    struct Survivor {
        std::int64_t index;
        DifferenceUnits partial;
        float key;
    };
    std::vector<Survivor> survivors;
    std::vector<ScoredCandidate> scored;
    void survives(std::int64_t index, DifferenceUnits partial, float key) {
        survivors.push_back({index, partial, key});
    }
    void measured(std::int64_t index, Extended value) { scored.push_back({index, value}); }
};

// Ranks as one sortable word: the key's bits above (keys are never negative, so the bit
// patterns sort as the values do), slot below (below 2^32), so that equal keys keep slot order.
std::uint64_t rankOf(float key, std::uint64_t slot);
void sortRanks(std::vector<std::uint64_t>& ranks);

// Lowers an atomic bound to value when value is lower.
inline void lowerBoundTo(std::atomic<float>& bound, float value) {
    float seen = bound.load(std::memory_order_relaxed);
    while (value < seen && !bound.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

// The ranked search, the order every exact search takes: each candidate summed first on a few
// rows against the starting best, the survivors finished most promising first against the
// bound the finished ones set, and the plain loop replayed over those scored exactly.
// firstPass(begin, end, best, ledger) scores candidates [begin, end) into ledger (survives or
// measured); finish(i, partial, bound) completes candidate i from its partial sum, pruned when
// its measure is at least bound. parallel spreads both passes over the workers; otherwise they
// run on the calling thread, with scratch space kept per thread.
template <typename FirstPass, typename Finish>
SearchOutcome rankedSearch(std::int64_t count, float best, bool parallel, FirstPass&& firstPass, Finish&& finish) {
    constexpr std::int64_t kFirstChunk = 64, kFinishChunk = 8;
    if (count <= 0) return SearchOutcome{-1, best};
    thread_local std::vector<RankedLedger> ledgersHere;
    thread_local std::vector<RankedLedger::Survivor> survivorsHere;
    thread_local std::vector<std::uint64_t> ranksHere;
    // Bound here: a body running on a worker would otherwise see the worker's own.
    std::vector<RankedLedger>& ledgers = ledgersHere;
    std::vector<RankedLedger::Survivor>& survivors = survivorsHere;
    std::vector<std::uint64_t>& ranks = ranksHere;
    auto forChunks = [parallel](std::int64_t n, const std::function<void(std::int64_t)>& body) {
        if (parallel) return parallelFor(n, body);
        for (std::int64_t c = 0; c < n; ++c) body(c);
    };
    const std::int64_t firstChunks = (count + kFirstChunk - 1) / kFirstChunk;
    if (ledgers.size() < std::size_t(firstChunks)) ledgers.resize(std::size_t(firstChunks));
    for (std::int64_t c = 0; c < firstChunks; ++c) {
        ledgers[std::size_t(c)].survivors.clear();
        ledgers[std::size_t(c)].scored.clear();
    }
    forChunks(firstChunks, [&](std::int64_t c) {
        firstPass(c * kFirstChunk, std::min(count, (c + 1) * kFirstChunk), best, ledgers[std::size_t(c)]);
    });
    std::atomic<float> bound{best};
    survivors.clear();
    ranks.clear();
    for (std::int64_t c = 0; c < firstChunks; ++c) {
        const RankedLedger& l = ledgers[std::size_t(c)];
        for (const ScoredCandidate& s : l.scored) lowerBoundTo(bound, std::nextafter(float(s.value), INFINITY));
        for (const RankedLedger::Survivor& s : l.survivors) {
            ranks.push_back(rankOf(s.key, survivors.size()));
            survivors.push_back(s);
        }
    }
    sortRanks(ranks);
    // Finished in chunks of the ranked order; their lists follow the first pass's.
    const std::int64_t finishChunks = (std::int64_t(ranks.size()) + kFinishChunk - 1) / kFinishChunk;
    if (ledgers.size() < std::size_t(firstChunks + finishChunks))
        ledgers.resize(std::size_t(firstChunks + finishChunks));
    forChunks(finishChunks, [&](std::int64_t c) {
        std::vector<ScoredCandidate>& scored = ledgers[std::size_t(firstChunks + c)].scored;
        scored.clear();
        const std::size_t end = std::min(ranks.size(), std::size_t(c + 1) * kFinishChunk);
        for (std::size_t k = std::size_t(c) * kFinishChunk; k < end; ++k) {
            const RankedLedger::Survivor& s = survivors[std::size_t(ranks[k] & 0xFFFFFFFFu)];
            const BoundedDifference d = finish(s.index, s.partial, bound.load(std::memory_order_relaxed));
            if (d.pruned) continue;
            scored.push_back({s.index, d.value});
            lowerBoundTo(bound, std::nextafter(float(d.value), INFINITY));
        }
    });
    std::vector<ScoredCandidate>& all = ledgers[0].scored;
    for (std::int64_t c = 1; c < firstChunks + finishChunks; ++c)
        all.insert(all.end(), ledgers[std::size_t(c)].scored.begin(), ledgers[std::size_t(c)].scored.end());
    return replayInOrder(all, best);
}
