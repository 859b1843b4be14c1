// A stable sort of (key, value) pairs by their 64-bit key, for the millions of
// pairs that a comparison sort would spend most of a step on.
#ifndef TOLVANE_GEO_RADIX_H
#define TOLVANE_GEO_RADIX_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tolvane::geo {

// The pairs sorted by key, those of one key in their order: a radix sort,
// sixteen bits of the key at a time, skipping the digits that every key shares.
template <typename T> void sort_by_key(std::vector<std::pair<std::uint64_t, T>> &pairs)
{
    if (pairs.size() < 2)
        return;
    std::vector<std::pair<std::uint64_t, T>> other(pairs.size());
    std::vector<std::size_t> count(std::size_t{1} << 16);
    std::uint64_t differ = 0;
    for (const auto &p : pairs)
        differ |= p.first ^ pairs.front().first;
    for (int shift = 0; shift < 64; shift += 16) {
        if (((differ >> shift) & 0xffff) == 0)
            continue;
        std::fill(count.begin(), count.end(), 0);
        for (const auto &p : pairs)
            count[(p.first >> shift) & 0xffff]++;
        std::size_t start = 0;
        for (std::size_t &c : count)
            start += std::exchange(c, start);
        for (const auto &p : pairs)
            other[count[(p.first >> shift) & 0xffff]++] = p;
        pairs.swap(other);
    }
}

} // namespace tolvane::geo

#endif
