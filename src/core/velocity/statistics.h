#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace velomire {

// Plain order statistics shared by the fits; empty input gives 0.
inline double MedianOf(std::vector<double> v) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

inline double NearestRankP95(std::vector<double> v) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

} // namespace velomire
