#include "mf4/conversion.hpp"

#include <cmath>

namespace korvel::mf4 {

bool Conversion::numeric() const {
  switch (type) {
    case CC_IDENTITY:
    case CC_LINEAR:
    case CC_RATIONAL:
    case CC_TABLE_INTERP:
    case CC_TABLE:
    case CC_RANGE:
      return true;
    default:
      return false;
  }
}

bool Conversion::names_only() const {
  return type == CC_VALUE_TEXT || type == CC_RANGE_TEXT || type == CC_BITFIELD_TEXT;
}

double Conversion::apply(double x) const {
  switch (type) {
    case CC_LINEAR:
      return vals[0] + vals[1] * x;
    case CC_RATIONAL: {
      const double num = (vals[0] * x + vals[1]) * x + vals[2];
      const double den = (vals[3] * x + vals[4]) * x + vals[5];
      return num / den;
    }
    case CC_TABLE_INTERP:
    case CC_TABLE: {
      // Keys ascend: below the first or above the last, the end value.
      const size_t n = vals.size() / 2;
      if (x <= vals[0]) return vals[1];
      if (x >= vals[2 * (n - 1)]) return vals[2 * (n - 1) + 1];
      size_t lo = 0, hi = n - 1;  // vals[2 lo] <= x < vals[2 hi]
      while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if (vals[2 * mid] <= x)
          lo = mid;
        else
          hi = mid;
      }
      const double k0 = vals[2 * lo], k1 = vals[2 * hi];
      const double v0 = vals[2 * lo + 1], v1 = vals[2 * hi + 1];
      if (x == k0) return v0;
      if (type == CC_TABLE) return x - k0 <= k1 - x ? v0 : v1;  // the nearer key, ties low
      return v0 + (v1 - v0) * (x - k0) / (k1 - k0);
    }
    case CC_RANGE: {
      const size_t n = (vals.size() - 1) / 3;
      for (size_t i = 0; i < n; ++i)
        if (x >= vals[3 * i] && x <= vals[3 * i + 1]) return vals[3 * i + 2];
      return vals[3 * n];
    }
    default:
      return x;
  }
}

bool Conversion::power_of_ten(int& k, double& a) const {
  if (type == CC_IDENTITY) {
    k = 0;
    a = 0;
    return true;
  }
  if (type != CC_LINEAR) return false;
  static const double tens[] = {1, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9};
  for (int i = 0; i < 10; ++i)
    if (vals[1] == tens[i]) {
      k = i;
      a = vals[0];
      return true;
    }
  return false;
}

bool Conversion::constant(double& value) const {
  if (type == CC_LINEAR && vals[1] == 0) {
    value = vals[0];
    return true;
  }
  return false;
}

Conversion read_conversion(BlockReader& r, uint64_t offset, const std::string& from) {
  Conversion c;
  if (!offset) return c;
  Block b = r.read(offset, "CC", from);
  c.offset = offset;
  c.type = *b.at(0, 1);
  const size_t count = u16le(b.at(6, 2));
  if (b.data.size() < 24 || (b.data.size() - 24) / 8 < count)
    throw Mf4Error("CC", offset,
                   "declares " + std::to_string(count) + " values, more than its " +
                       std::to_string(b.length) + " bytes hold");
  c.vals.resize(count);
  for (size_t i = 0; i < count; ++i) c.vals[i] = f64le(b.data.data() + 24 + 8 * i);
  size_t need = 0;
  bool ok = true;
  switch (c.type) {
    case CC_LINEAR:
      need = 2;
      break;
    case CC_RATIONAL:
      need = 6;
      break;
    case CC_TABLE_INTERP:
    case CC_TABLE:
      ok = count >= 2 && count % 2 == 0;
      for (size_t i = 2; ok && i < count; i += 2) ok = c.vals[i] >= c.vals[i - 2];
      break;
    case CC_RANGE:
      ok = count >= 1 && count % 3 == 1;
      break;
    default:
      break;
  }
  if (!ok || count < need)
    throw Mf4Error("CC", offset,
                   "of type " + std::to_string(c.type) + " holds " + std::to_string(count) +
                       " values, which do not make a conversion of that type");
  for (double v : c.vals)
    if (c.numeric() && !std::isfinite(v) && c.type != CC_RANGE)
      throw Mf4Error("CC", offset, "holds a value that is not a finite number");
  return c;
}

}  // namespace korvel::mf4
