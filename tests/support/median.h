#pragma once
// The median of a benchmark's samples (the upper one of an even count; 0 for none).

#include <algorithm>
#include <vector>

namespace facset::testing {

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace facset::testing
