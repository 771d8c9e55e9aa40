#include "stats/cycles.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include "protocols/j1939.hpp"

namespace korvel::stats {

namespace {

// Channel and message -> group, by open addressing (a log has a few hundred
// messages, a lookup per frame must cost next to nothing).
class GroupMap {
 public:
  GroupMap() : keys_(1024, 0), groups_(1024, 0) {}

  uint32_t find_or_add(uint64_t key, std::vector<uint64_t>& group_keys) {
    const uint64_t stored = key + 1;
    size_t mask = keys_.size() - 1;
    size_t i = hash(key) & mask;
    while (keys_[i]) {
      if (keys_[i] == stored) return groups_[i];
      i = (i + 1) & mask;
    }
    const auto g = static_cast<uint32_t>(group_keys.size());
    group_keys.push_back(key);
    keys_[i] = stored;
    groups_[i] = g;
    if (2 * group_keys.size() > keys_.size()) grow();
    return g;
  }

 private:
  static size_t hash(uint64_t k) { return static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> 20); }
  void grow() {
    std::vector<uint64_t> keys(keys_.size() * 2, 0);
    std::vector<uint32_t> groups(keys.size(), 0);
    const size_t mask = keys.size() - 1;
    for (size_t j = 0; j < keys_.size(); ++j) {
      if (!keys_[j]) continue;
      size_t i = hash(keys_[j] - 1) & mask;
      while (keys[i]) i = (i + 1) & mask;
      keys[i] = keys_[j];
      groups[i] = groups_[j];
    }
    keys_.swap(keys);
    groups_.swap(groups);
  }
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> groups_;
};

constexpr uint32_t NOT_DATA = UINT32_MAX;

// The value of `key` in sorted `keys`; false where it has none.
bool lookup(const std::vector<uint32_t>& keys, const std::vector<double>& values, uint32_t key,
            double& out) {
  const auto e = std::lower_bound(keys.begin(), keys.end(), key);
  if (e == keys.end() || *e != key) return false;
  out = values[static_cast<size_t>(e - keys.begin())];
  return true;
}

// NumPy's median and linear-interpolation percentile of `v` (reordered).
double median(std::vector<double>& v) {
  const size_t m = v.size(), k = m / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(k), v.end());
  const double upper = v[k];
  if (m % 2) return upper;
  const double lower = *std::max_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(k));
  return lower + (upper - lower) / 2;
}

// A high percentile: the values from its rank up are few, so they are kept
// in a min-heap while the rest pass by with one comparison (selecting
// among all of them costs several times more).
double percentile(const std::vector<double>& v, double q, std::vector<double>& heap) {
  const double pos = q / 100 * static_cast<double>(v.size() - 1);
  const auto lo = static_cast<size_t>(pos);
  const double frac = pos - static_cast<double>(lo);
  const size_t keep = v.size() - lo;  // ranks lo .. size-1
  heap.assign(v.begin(), v.begin() + static_cast<ptrdiff_t>(keep));
  std::make_heap(heap.begin(), heap.end(), std::greater<double>());
  for (size_t i = keep; i < v.size(); ++i) {
    if (v[i] <= heap.front()) continue;
    std::pop_heap(heap.begin(), heap.end(), std::greater<double>());
    heap.back() = v[i];
    std::push_heap(heap.begin(), heap.end(), std::greater<double>());
  }
  const double a = heap.front();
  if (keep < 2 || frac == 0) return a;
  std::pop_heap(heap.begin(), heap.end(), std::greater<double>());
  heap.pop_back();
  const double b = heap.front();
  return a + (b - a) * frac;
}

}  // namespace

bool transport_traffic(uint32_t can_id, bool extended) {
  const uint32_t id = can_id & ID_MASK;
  if (!extended) return id == 0x7DF || (id >= 0x7E0 && id <= 0x7EF);
  namespace kp = protocols;
  const uint32_t pgn = kp::j1939_pgn(id);
  return pgn == kp::PGN_TP_CM || pgn == kp::PGN_TP_DT || pgn == kp::PGN_ETP_CM ||
         pgn == kp::PGN_ETP_DT || id >> 16 == 0x18DA || id >> 16 == 0x18DB;
}

void cycles(const FrameView& f, const CycleOptions& o, CycleTable& out, GapTable& gaps,
            CycleWork work) {
  std::unique_ptr<uint32_t[]> own_group;
  std::unique_ptr<int64_t[]> own_ts;
  if (!work.group) {
    own_group.reset(new uint32_t[f.n]);
    work.group = own_group.get();
  }
  if (!work.timestamps) {
    own_ts.reset(new int64_t[f.n]);
    work.timestamps = own_ts.get();
  }
  // The group of every data frame, and the size of every group.
  uint32_t* const group = work.group;
  std::vector<uint64_t> group_keys;
  std::vector<size_t> size;
  GroupMap map;
  for (size_t i = 0; i < f.n; ++i) {
    DT_t r;
    std::memcpy(&r, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof r);
    if (r.flags & (FLAG_ERROR | FLAG_REMOTE)) {
      group[i] = NOT_DATA;
      continue;
    }
    const uint64_t key = uint64_t{r.channel} << 30 | message_key(r.can_id, r.flags & FLAG_EXTENDED);
    const uint32_t g = map.find_or_add(key, group_keys);
    if (g == size.size()) size.push_back(0);
    ++size[g];
    group[i] = g;
  }
  // Timestamps gathered group by group, in log order.
  const size_t groups = group_keys.size();
  std::vector<size_t> begin(groups + 1, 0);
  for (size_t g = 0; g < groups; ++g) begin[g + 1] = begin[g] + size[g];
  int64_t* const ts = work.timestamps;
  {
    std::vector<size_t> at(begin.begin(), begin.end() - 1);
    for (size_t i = 0; i < f.n; ++i) {
      if (group[i] == NOT_DATA) continue;
      int64_t t;
      std::memcpy(&t, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof t);
      ts[at[group[i]]++] = t;
    }
  }
  std::vector<uint32_t> order(groups);
  for (uint32_t g = 0; g < groups; ++g) order[g] = g;
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return group_keys[a] < group_keys[b]; });

  std::vector<double> intervals, dev, heap;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (uint32_t g : order) {
    int64_t* t = ts + begin[g];
    const size_t m = size[g];
    if (!std::is_sorted(t, t + m)) std::sort(t, t + m);
    const uint64_t key = group_keys[g];
    const auto channel = static_cast<uint8_t>(key >> 30);
    const bool extended = key & 0x20000000u;
    const auto can_id = static_cast<int64_t>(key & ID_MASK);
    const auto mkey = static_cast<uint32_t>(key & 0x3FFFFFFF);
    double expected = nan;
    if (!lookup(o.expected_keys, o.expected, mkey, expected) && extended) {
      const uint32_t pgn = protocols::j1939_pgn(static_cast<uint32_t>(can_id));
      const uint32_t source = static_cast<uint32_t>(can_id) & 0xFF;
      if (!lookup(o.pgn_source_keys, o.pgn_source_expected, pgn << 8 | source, expected))
        lookup(o.pgn_keys, o.pgn_expected, pgn, expected);
    }
    const bool may_gap = o.only_expected
                             ? expected > 0
                             : !(o.transport_without_gaps &&
                                 transport_traffic(static_cast<uint32_t>(can_id), extended));

    double period = nan, lo = nan, hi = nan, jitter = nan;
    int64_t n_gaps = 0;
    if (m > 1) {
      intervals.resize(m - 1);
      // Differences of int64 timestamps, exact while below 2^53 ns (104 days).
      for (size_t k = 0; k + 1 < m; ++k)
        intervals[k] =
            static_cast<double>(static_cast<uint64_t>(t[k + 1]) - static_cast<uint64_t>(t[k]));
      const auto mm = std::minmax_element(intervals.begin(), intervals.end());
      lo = *mm.first;
      hi = *mm.second;
      dev.assign(intervals.begin(), intervals.end());
      period = median(dev);
      const double limit = o.gap * (expected > 0 ? expected : period);
      for (size_t k = 0; k + 1 < m; ++k) {
        if (may_gap && intervals[k] > limit) {
          ++n_gaps;
          gaps.channel.push_back(channel);
          gaps.extended.push_back(extended);
          gaps.can_id.push_back(can_id);
          gaps.start.push_back(t[k]);
          gaps.stop.push_back(t[k + 1]);
          gaps.length.push_back(
              static_cast<int64_t>(static_cast<uint64_t>(t[k + 1]) - static_cast<uint64_t>(t[k])));
        }
        dev[k] = std::fabs(intervals[k] - period);
      }
      jitter = percentile(dev, 99, heap);
    }
    out.channel.push_back(channel);
    out.extended.push_back(extended);
    out.can_id.push_back(can_id);
    out.count.push_back(static_cast<int64_t>(m));
    out.first.push_back(t[0]);
    out.last.push_back(t[m - 1]);
    out.period.push_back(period);
    out.period_min.push_back(lo);
    out.period_max.push_back(hi);
    out.jitter.push_back(jitter);
    out.expected.push_back(expected);
    out.gaps.push_back(n_gaps);
  }
}

}  // namespace korvel::stats
