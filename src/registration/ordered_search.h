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
// i). Likewise, after a prefix has been replayed, the best it holds bounds the rest.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
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

// Candidates 0 .. count-1 in order; score(i, bound) gives candidate i's exact measure, or
// pruned when it is at least bound. The loop starts with best = initial.
template <typename Score>
SearchOutcome orderedSearch(std::int64_t count, float initial, Score&& score, std::int64_t chunkSize = 16) {
    SearchOutcome outcome;
    outcome.best = initial;
    if (count <= 0) return outcome;
    struct Scored {
        std::int64_t index;
        Extended value;
    };
    const std::int64_t chunks = (count + chunkSize - 1) / chunkSize;
    const std::int64_t batchChunks = std::int64_t(workerCount()) * 8;
    std::atomic<float> bound{initial};
    auto lowerBound = [&bound](float value) {
        float seen = bound.load(std::memory_order_relaxed);
        while (value < seen && !bound.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
        }
    };
    std::vector<std::vector<Scored>> kept(std::size_t(std::min(chunks, batchChunks)));
    for (std::int64_t first = 0; first < chunks; first += batchChunks) {
        const std::int64_t inBatch = std::min(batchChunks, chunks - first);
        parallelFor(inBatch, [&](std::int64_t c) {
            std::vector<Scored>& list = kept[std::size_t(c)];
            list.clear();
            const std::int64_t begin = (first + c) * chunkSize, end = std::min(count, begin + chunkSize);
            for (std::int64_t i = begin; i < end; ++i) {
                const BoundedDifference d = score(i, bound.load(std::memory_order_relaxed));
                if (d.pruned) continue;
                list.push_back({i, d.value});
                lowerBound(std::nextafter(float(d.value), INFINITY));
            }
        });
        for (std::int64_t c = 0; c < inBatch; ++c) {
            for (const Scored& s : kept[std::size_t(c)]) {
                if (outcome.best > s.value) {
                    outcome.best = float(s.value);
                    outcome.winner = s.index;
                }
            }
        }
        lowerBound(outcome.best);
    }
    return outcome;
}
