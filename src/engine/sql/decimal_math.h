// 128-bit helpers for exact decimal arithmetic on scaled integers.
#pragma once

#include <cstdint>

namespace tillbase::engine::sql {

inline __int128 Pow10_128(int n) {
  __int128 v = 1;
  for (int i = 0; i < n && i < 38; ++i) v *= 10;
  return v;
}

// v at scale `from` rescaled to scale `to`, rounding half away from zero
// when digits are dropped.
inline __int128 RoundToScale(__int128 v, int from, int to) {
  if (to >= from) return v * Pow10_128(to - from);
  __int128 d = Pow10_128(from - to);
  __int128 q = v / d, r = v % d;
  if (r < 0) r = -r;
  if (r * 2 >= d) q += v < 0 ? -1 : 1;
  return q;
}

// Like RoundToScale but dropping digits toward zero.
inline __int128 TruncateToScale(__int128 v, int from, int to) {
  if (to >= from) return v * Pow10_128(to - from);
  return v / Pow10_128(from - to);
}

}  // namespace tillbase::engine::sql
