// CC blocks: how a channel's raw value becomes its physical value.
//   links: tx_name, md_unit, md_comment, cc_inverse, cc_ref[ref_count]
//   data:  uint8 type, uint8 precision, uint16 flags, uint16 ref_count,
//          uint16 val_count, float64 phy_range_min, phy_range_max,
//          float64 val[val_count]
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mf4/blocks.hpp"

namespace korvel::mf4 {

enum ConversionType : uint8_t {
  CC_IDENTITY = 0,
  CC_LINEAR = 1,        // a + b x
  CC_RATIONAL = 2,      // (p1 x^2 + p2 x + p3) / (p4 x^2 + p5 x + p6)
  CC_ALGEBRAIC = 3,     // a text formula
  CC_TABLE_INTERP = 4,  // (key, value) pairs, interpolated
  CC_TABLE = 5,         // (key, value) pairs, nearest key
  CC_RANGE = 6,         // (min, max, value) triples, then the default
  CC_VALUE_TEXT = 7,    // names of values
  CC_RANGE_TEXT = 8,
  CC_TEXT_VALUE = 9,
  CC_TEXT_TEXT = 10,
  CC_BITFIELD_TEXT = 11,
};

struct Conversion {
  uint64_t offset = 0;  // 0: none (the raw value is the value)
  uint8_t type = CC_IDENTITY;
  std::vector<double> vals;

  // Numbers come out (identity, linear, rational, tables and ranges).
  bool numeric() const;
  // Text conversions name values: the number stays the raw value.
  bool names_only() const;
  double apply(double x) const;
  // A linear conversion a + b x with b = 10^-k (0 <= k <= 9), for exact
  // integer time: sets k and a.
  bool power_of_ten(int& k, double& a) const;
  // The constant every raw value maps to, when there is one (factor 0).
  bool constant(double& value) const;
};

// Reads the CC block at `offset` (0: none). Throws Mf4Error for a block
// whose values do not fit it or whose value count does not suit its type.
Conversion read_conversion(BlockReader& r, uint64_t offset, const std::string& from);

}  // namespace korvel::mf4
