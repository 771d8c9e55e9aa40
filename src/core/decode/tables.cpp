// Per-message tables. Built with -ffp-contract=off, like signals.cpp: a value
// is x * scale + offset rounded twice, as Python computes it.
#include "decode/tables.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <future>
#include <limits>
#include <memory>

#include "frames.hpp"
#include "workpool.hpp"

namespace korvel::tables {

namespace {

constexpr size_t CAN_ID_OFFSET = offsetof(DT_t, can_id);
constexpr size_t CHANNEL_OFFSET = offsetof(DT_t, channel);
constexpr size_t FLAGS_OFFSET = offsetof(DT_t, flags);
constexpr size_t LOC_OFFSET = offsetof(DT_t, loc);

template <class T>
inline T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Open addressing from a 64-bit key to a small index; keys are never removed.
class KeyTable {
 public:
  explicit KeyTable(size_t expected) {
    size_t cap = 16;
    while (cap < expected * 2) cap *= 2;
    resize(cap);
  }

  // The index of `key`, added as `size()` when new.
  int32_t insert(uint64_t key) {
    if ((size_ + 1) * 2 > keys_.size()) grow();
    size_t i = slot(key);
    if (keys_[i] == key && used_[i]) return values_[i];
    keys_[i] = key;
    used_[i] = 1;
    values_[i] = static_cast<int32_t>(size_++);
    return values_[i];
  }

  int32_t find(uint64_t key) const {
    size_t i = slot(key);
    return used_[i] ? values_[i] : -1;
  }

  size_t size() const { return size_; }

 private:
  size_t slot(uint64_t key) const {
    size_t i = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    while (used_[i] && keys_[i] != key) i = (i + 1) & (keys_.size() - 1);
    return i;
  }

  void resize(size_t cap) {
    keys_.assign(cap, 0);
    values_.assign(cap, -1);
    used_.assign(cap, 0);
    shift_ = 64;
    for (size_t c = cap; c > 1; c /= 2) --shift_;
  }

  void grow() {
    std::vector<uint64_t> keys = std::move(keys_);
    std::vector<int32_t> values = std::move(values_);
    std::vector<uint8_t> used = std::move(used_);
    resize(keys.size() * 2);
    for (size_t i = 0; i < keys.size(); ++i) {
      if (!used[i]) continue;
      size_t j = slot(keys[i]);
      keys_[j] = keys[i];
      values_[j] = values[i];
      used_[j] = 1;
    }
  }

  std::vector<uint64_t> keys_;
  std::vector<int32_t> values_;
  std::vector<uint8_t> used_;
  size_t size_ = 0;
  unsigned shift_ = 60;
};

}  // namespace

PlanError plan_signal(int32_t start, int32_t length, bool big_endian, bool is_signed, bool is_float,
                      double scale, double offset, SignalPlan& out) {
  std::vector<int32_t> ims;
  switch (signal_ims(start, length, big_endian ? -1 : 1, ims)) {
    case LayoutError::ok:
      break;
    case LayoutError::bad_start:
      return PlanError::bad_start;
    default:
      return PlanError::bad_length;
  }
  size_t bad = 0;
  parse_triples(reinterpret_cast<const char*>(ims.data()), ims.size(), sizeof(int32_t), out.pieces,
                out.needed, bad);  // signal_ims gives valid triples
  out.scale = scale;
  out.offset = offset;
  out.is_signed = is_signed && !is_float;
  out.shift = static_cast<uint32_t>(64 - length);
  if (is_float)
    out.kind = length == 32 ? VALTYPE_SINGLE : VALTYPE_DOUBLE;
  else
    out.kind = is_signed ? VALTYPE_INTEGER : VALTYPE_UNSIGNED;
  plan_word(out);
  return PlanError::ok;
}

namespace {

uint64_t from_pieces(const SignalPlan& s, const uint8_t* row) {
  uint64_t w = 0;
  for (const Piece& pc : s.pieces)
    w |= (static_cast<uint64_t>(row[pc.byte] & pc.mask) << pc.lshift) >> pc.rshift;
  return w;
}

uint64_t from_word(const SignalPlan& s, const uint8_t* row) {
  uint64_t x;
  std::memcpy(&x, row, 8);
  if (s.word == WordMode::swapped) x = __builtin_bswap64(x);
  return (x << s.word_shift) & s.word_mask;
}

}  // namespace

void plan_word(SignalPlan& s) {
  s.word = WordMode::none;
  if (s.needed > 8) return;
  const uint32_t length = 64 - s.shift;
  s.word_mask = length >= 64 ? ~uint64_t{0} : ~uint64_t{0} << (64 - length);
  // Where the signal's top bit comes from: the one-bit row whose value is
  // that bit alone.
  uint8_t row[8];
  int top = -1;
  for (int j = 0; j < 64 && top < 0; ++j) {
    std::memset(row, 0, 8);
    row[j / 8] = static_cast<uint8_t>(1u << (j % 8));
    if (from_pieces(s, row) == uint64_t{1} << 63) top = j;
  }
  if (top < 0) return;
  std::memset(row, 0, 8);
  row[top / 8] = static_cast<uint8_t>(1u << (top % 8));
  uint64_t x;
  std::memcpy(&x, row, 8);
  for (WordMode mode : {WordMode::plain, WordMode::swapped}) {
    const uint64_t at = mode == WordMode::swapped ? __builtin_bswap64(x) : x;
    s.word = mode;
    s.word_shift = static_cast<uint32_t>(63 - __builtin_ctzll(at));
    // Each bit of the value is one bit of the row: equal on every one-bit
    // row, the two are equal on every row.
    bool same = true;
    for (int j = 0; j < 64 && same; ++j) {
      std::memset(row, 0, 8);
      row[j / 8] = static_cast<uint8_t>(1u << (j % 8));
      same = from_pieces(s, row) == from_word(s, row);
    }
    if (same) return;
  }
  s.word = WordMode::none;
}

void plan_exact(SignalPlan& p, const ExactScaling& e) {
  p.exact = ExactScaling{};
  if (p.kind != VALTYPE_INTEGER && p.kind != VALTYPE_UNSIGNED) return;
  ExactScaling x = e;
  if (prepare_exact(x, 64 - p.shift, p.is_signed)) p.exact = x;
}

PlanError finish_message(MessagePlan& m, size_t& bad_signal) {
  const size_t n = m.signals.size();
  std::vector<size_t> depth(n, 0);
  for (size_t s = 0; s < n; ++s) {
    int32_t at = m.signals[s].mux;
    size_t d = 0;
    while (at >= 0) {
      bad_signal = s;
      if (static_cast<size_t>(at) >= n) return PlanError::bad_mux;
      const int32_t kind = m.signals[static_cast<size_t>(at)].kind;
      if (kind == VALTYPE_SINGLE || kind == VALTYPE_DOUBLE) return PlanError::float_mux;
      if (++d > n) return PlanError::mux_cycle;
      at = m.signals[static_cast<size_t>(at)].mux;
    }
    depth[s] = d;
    std::sort(m.signals[s].mux_ids.begin(), m.signals[s].mux_ids.end());
  }
  m.order.resize(n);
  for (size_t s = 0; s < n; ++s) m.order[s] = static_cast<uint32_t>(s);
  std::stable_sort(m.order.begin(), m.order.end(),
                   [&](uint32_t a, uint32_t b) { return depth[a] < depth[b]; });
  return PlanError::ok;
}

namespace {

// Runs work(0) .. work(parts - 1), each part taken by whichever of the calling
// thread and `threads` - 1 pool workers is free; waits for all of them, then
// rethrows the first failure.
template <class Work>
void share_parts(unsigned threads, size_t parts, Work& work) {
  std::atomic<size_t> next{0};
  auto take = [&] {
    for (size_t p; (p = next.fetch_add(1)) < parts;) work(p);
  };
  const size_t helpers = threads > 1 ? std::min<size_t>(threads - 1, parts - 1) : 0;
  std::vector<std::future<void>> done;
  std::exception_ptr failure;
  try {
    for (size_t i = 0; i < helpers; ++i) done.push_back(shared_pool(threads - 1).submit(take));
    take();
  } catch (...) {
    failure = std::current_exception();
    next.store(parts);
  }
  for (auto& d : done) {
    try {
      d.get();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

void group_frames(const Frames& f, const std::vector<MessagePlan>& messages, bool by_channel,
                  Grouping& out, unsigned threads) {
  out = Grouping{};
  if (f.n > std::numeric_limits<uint32_t>::max()) {
    out.ok = false;
    out.too_many = true;
    return;
  }
  size_t n_keys = 0;
  bool fallback = false;
  for (const MessagePlan& m : messages) {
    n_keys += m.keys.size() + m.fallback_keys.size();
    fallback = fallback || !m.fallback_keys.empty();
  }
  KeyTable table(n_keys);
  out.groups_of.resize(messages.size());
  for (size_t m = 0; m < messages.size(); ++m) {
    for (uint64_t key : messages[m].keys) {
      const uint32_t g = static_cast<uint32_t>(table.insert(key));
      auto& mine = out.groups_of[m];
      if (std::find(mine.begin(), mine.end(), g) == mine.end()) mine.push_back(g);
    }
  }
  // Fallback keys never equal identifier keys; the first message (in
  // database order) that claims one keeps it.
  for (size_t m = 0; m < messages.size(); ++m) {
    for (uint64_t key : messages[m].fallback_keys) {
      if (table.find(key) >= 0) continue;
      out.groups_of[m].push_back(static_cast<uint32_t>(table.insert(key)));
    }
  }
  const size_t n_groups = table.size();

  // The frames in contiguous ranges, one per part: each part finds its
  // frames' groups and counts them, then scatters its frame numbers after
  // those of the parts before it, so the rows are those of one pass.
  constexpr size_t MIN_PART = 1 << 16;
  // A few parts per thread: on a busy machine a thread that is not run
  // holds up only its current part, the others take the rest.
  const size_t parts =
      std::max<size_t>(1, std::min<size_t>(threads > 1 ? 4 * threads : 1, f.n / MIN_PART));
  struct Part {
    size_t begin = 0, end = 0;
    std::vector<size_t> size;  // frames per group, then where the next one goes
    bool ok = true;
    size_t bad_frame = 0;
    uint64_t offset = 0, length = 0;
  };
  std::vector<Part> part(parts);
  for (size_t p = 0; p < parts; ++p) {
    part[p].begin = f.n * p / parts;
    part[p].end = f.n * (p + 1) / parts;
  }
  std::unique_ptr<int32_t[]> group(new int32_t[f.n]);

  // Pass 1: each frame's group, the group sizes, and the payload check.
  auto classify = [&](size_t p) {
    Part& mine = part[p];
    mine.size.assign(n_groups, 0);
    // With fallbacks, each identifier's outcome (up to three look-ups) is
    // remembered: streams interleave, so the last key alone rarely repeats.
    KeyTable resolved(fallback ? 64 : 1);
    std::vector<int32_t> outcome;
    uint64_t last_key = std::numeric_limits<uint64_t>::max();
    int32_t last_group = -1;
    const char* rec = f.records + static_cast<ptrdiff_t>(mine.begin) * f.stride;
    for (size_t i = mine.begin; i < mine.end; ++i, rec += f.stride) {
      const uint8_t flags = static_cast<uint8_t>(rec[FLAGS_OFFSET]);
      // Error and remote frames carry no signal values.
      if (flags & (FLAG_ERROR | FLAG_REMOTE)) {
        group[i] = -1;
        continue;
      }
      const uint32_t id = load<uint32_t>(rec + CAN_ID_OFFSET);
      const int channel =
          by_channel ? static_cast<int>(static_cast<uint8_t>(rec[CHANNEL_OFFSET])) : -1;
      const bool extended = flags & FLAG_EXTENDED;
      const uint64_t key = frame_key(id, extended, channel);
      if (key != last_key) {
        last_key = key;
        if (!fallback) {
          last_group = table.find(key);
        } else if (const int32_t known = resolved.find(key); known >= 0) {
          last_group = outcome[static_cast<size_t>(known)];
        } else {
          last_group = table.find(key);
          if (last_group < 0 && extended) {
            const uint32_t pgn = j1939_pgn(id);
            last_group = table.find(pgn_key(pgn, static_cast<int>(id & 0xFF), channel));
            if (last_group < 0) last_group = table.find(pgn_key(pgn, -1, channel));
          }
          resolved.insert(key);
          outcome.push_back(last_group);
        }
      }
      group[i] = last_group;
      if (last_group < 0) continue;
      const uint64_t loc = load<uint64_t>(rec + LOC_OFFSET);
      const uint64_t base = loc_offset(loc), count = loc_count(loc);
      if (base > f.chunk_size || count > f.chunk_size - base) {
        mine.ok = false;
        mine.bad_frame = i;
        mine.offset = base;
        mine.length = count;
        return;
      }
      ++mine.size[static_cast<size_t>(last_group)];
    }
  };
  share_parts(threads, parts, classify);
  for (const Part& p : part) {
    if (p.ok) continue;
    out.ok = false;  // the first damaged frame, as one pass finds it
    out.bad_frame = p.bad_frame;
    out.offset = p.offset;
    out.length = p.length;
    return;
  }

  // Pass 2: a stable counting sort of the frame numbers by group.
  out.start.assign(n_groups + 1, 0);
  for (size_t g = 0; g < n_groups; ++g) {
    size_t at = out.start[g];
    for (Part& p : part) {
      const size_t n = p.size[g];
      p.size[g] = at;
      at += n;
    }
    out.start[g + 1] = at;
  }
  out.rows.resize(out.start[n_groups]);
  auto scatter = [&](size_t p) {
    size_t* next = part[p].size.data();
    uint32_t* rows = out.rows.data();
    for (size_t i = part[p].begin; i < part[p].end; ++i) {
      const int32_t g = group[i];
      if (g >= 0) rows[next[static_cast<size_t>(g)]++] = static_cast<uint32_t>(i);
    }
  };
  share_parts(threads, parts, scatter);
  out.count.assign(messages.size(), 0);
  for (size_t m = 0; m < messages.size(); ++m)
    for (uint32_t g : out.groups_of[m]) out.count[m] += out.start[g + 1] - out.start[g];
}

namespace {

// Raw value -> code, in order of first sight; then renumbered by raw value.
class Coder {
 public:
  int32_t code(int64_t raw) {
    const uint64_t key = static_cast<uint64_t>(raw);
    if (key == last_ && last_code_ >= 0) return last_code_;
    int32_t c = table_.find(key);
    if (c < 0) {
      c = table_.insert(key);
      raws_.push_back(raw);
    }
    last_ = key;
    last_code_ = c;
    return c;
  }

  // Codes follow ascending raw values; `raws` gets the raw value of each.
  void finish(int32_t* codes, size_t n, std::vector<int64_t>& raws) {
    const size_t k = raws_.size();
    std::vector<uint32_t> by_raw(k);
    for (size_t i = 0; i < k; ++i) by_raw[i] = static_cast<uint32_t>(i);
    std::sort(by_raw.begin(), by_raw.end(),
              [&](uint32_t a, uint32_t b) { return raws_[a] < raws_[b]; });
    std::vector<int32_t> renumber(k);
    raws.resize(k);
    for (size_t i = 0; i < k; ++i) {
      renumber[by_raw[i]] = static_cast<int32_t>(i);
      raws[i] = raws_[by_raw[i]];
    }
    for (size_t r = 0; r < n; ++r)
      if (codes[r] >= 0) codes[r] = renumber[static_cast<size_t>(codes[r])];
  }

 private:
  KeyTable table_{16};
  std::vector<int64_t> raws_;
  uint64_t last_ = 0;
  int32_t last_code_ = -1;
};

// One message's payloads, gathered row by row into `width` bytes each (zero
// past what the frame stored).
struct Gathered {
  size_t n = 0;
  size_t width = 0;
  std::unique_ptr<uint8_t[]> bytes;
  std::unique_ptr<uint16_t[]> stored;  // payload bytes each row really has (<= width)
};

// A raw value's physical value: x * scale + offset.
template <class Convert>
struct Scaled {
  Convert convert;
  double scale, offset;
  double operator()(uint64_t w) const { return convert(w) * scale + offset; }
};

// The same as cantools computes it with an integer scale: in doubles while
// they are exact, else as integers rounded once.
template <bool Signed>
struct ExactScaled {
  uint32_t shift;
  double scale, offset;
  const ExactScaling* exact;
  double operator()(uint64_t w) const {
    const int64_t v = Signed ? static_cast<int64_t>(w) >> shift : 0;
    const bool neg = v < 0;
    const uint64_t mag =
        Signed ? (neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v)) : w >> shift;
    if (mag <= exact->fast_up_to)
      return (Signed ? static_cast<double>(v) : static_cast<double>(mag)) * scale + offset;
    return exact_value(neg, mag, *exact, offset);
  }
};

// Missing: whether raw values from s.missing_from up are left out (a loop of
// its own, so that other signals pay nothing for it).
template <bool Missing, WordMode Mode, class Convert>
void extract_rows(const Gathered& g, const SignalPlan& s, const uint8_t* select, Convert convert,
                  double* col, int64_t* raw, uint8_t* present) {
  const uint64_t missing_from = s.missing_from;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Piece* pieces = s.pieces.data();
  const size_t n_pieces = s.pieces.size();
  const size_t width = g.width;
  const uint32_t needed = s.needed;
  const uint32_t word_shift = s.word_shift;
  const uint64_t word_mask = s.word_mask;
  const uint8_t* row = g.bytes.get();
  for (size_t r = 0; r < g.n; ++r, row += width) {
    uint64_t w = 0;
    if constexpr (Mode == WordMode::none) {
      for (size_t k = 0; k < n_pieces; ++k) {
        const Piece& pc = pieces[k];
        w |= (static_cast<uint64_t>(row[pc.byte] & pc.mask) << pc.lshift) >> pc.rshift;
      }
    } else {
      // Rows have 8 bytes of slack after the last: the word is in bounds,
      // and the bytes past the row are masked out.
      std::memcpy(&w, row, 8);
      if constexpr (Mode == WordMode::swapped) w = __builtin_bswap64(w);
      w = (w << word_shift) & word_mask;
    }
    const bool ok = g.stored[r] >= needed && (!select || select[r]);
    const double v = convert(w);
    // A not-available value is missing from the column, yet still selects
    // and keeps its code (a value table may name it).
    col[r] = ok && (!Missing || (w >> s.shift) < missing_from) ? v : nan;
    if (raw)
      raw[r] =
          s.is_signed ? static_cast<int64_t>(w) >> s.shift : static_cast<int64_t>(w >> s.shift);
    if (present) present[r] = ok;
  }
}

template <bool Missing = false, class Convert>
void extract(const Gathered& g, const SignalPlan& s, const uint8_t* select, Convert convert,
             double* col, int64_t* raw, uint8_t* present) {
  switch (s.word) {
    case WordMode::plain:
      return extract_rows<Missing, WordMode::plain>(g, s, select, convert, col, raw, present);
    case WordMode::swapped:
      return extract_rows<Missing, WordMode::swapped>(g, s, select, convert, col, raw, present);
    default:
      return extract_rows<Missing, WordMode::none>(g, s, select, convert, col, raw, present);
  }
}

void extract_signal(const Gathered& g, const SignalPlan& s, const uint8_t* select, double* col,
                    int64_t* raw, uint8_t* present) {
  using namespace word;
  const bool exact = s.exact.kind != Exact::none;
  switch (s.kind) {
    case VALTYPE_INTEGER:
      if (exact)
        return extract(g, s, select, ExactScaled<true>{s.shift, s.scale, s.offset, &s.exact}, col,
                       raw, present);
      return extract(g, s, select, Scaled<SignedInt>{{s.shift}, s.scale, s.offset}, col, raw,
                     present);
    case VALTYPE_UNSIGNED:
      if (exact && s.missing_from)
        return extract<true>(g, s, select, ExactScaled<false>{s.shift, s.scale, s.offset, &s.exact},
                             col, raw, present);
      if (exact)
        return extract(g, s, select, ExactScaled<false>{s.shift, s.scale, s.offset, &s.exact}, col,
                       raw, present);
      if (s.missing_from)
        return extract<true>(g, s, select, Scaled<UnsignedInt>{{s.shift}, s.scale, s.offset}, col,
                             raw, present);
      return extract(g, s, select, Scaled<UnsignedInt>{{s.shift}, s.scale, s.offset}, col, raw,
                     present);
    case VALTYPE_SINGLE:
      if (s.scale == 1.0 && s.offset == 0.0)  // as is: -0.0 stays -0.0, as cantools keeps it
        return extract(g, s, select, Single{}, col, raw, present);
      return extract(g, s, select, Scaled<Single>{{}, s.scale, s.offset}, col, raw, present);
    default:
      if (s.scale == 1.0 && s.offset == 0.0)
        return extract(g, s, select, Double{}, col, raw, present);
      return extract(g, s, select, Scaled<Double>{{}, s.scale, s.offset}, col, raw, present);
  }
}

void decode_message(const Frames& f, const uint32_t* rows, size_t n, const MessagePlan& m,
                    MessageOutput& out) {
  const size_t n_signals = m.signals.size();
  uint32_t width = 0;
  for (const SignalPlan& s : m.signals) width = std::max(width, s.needed);

  // Gather: timestamps, channels and the payload bytes the signals need.
  // A message's records lie apart in the index, each load a cache miss:
  // they are prefetched some rows ahead.
  constexpr size_t AHEAD = 16;
  Gathered g;
  g.n = n;
  g.stored.reset(new uint16_t[n]);
  std::vector<const uint8_t*> payload(n);
  uint64_t longest = 0;
  for (size_t r = 0; r < n; ++r) {
    if (r + AHEAD < n)
      __builtin_prefetch(f.records + static_cast<ptrdiff_t>(rows[r + AHEAD]) * f.stride);
    const char* rec = f.records + static_cast<ptrdiff_t>(rows[r]) * f.stride;
    out.timestamps[r] = load<int64_t>(rec);
    out.channels[r] = static_cast<uint8_t>(rec[CHANNEL_OFFSET]);
    // J1939 addresses, the identifier's low bytes (the record is at hand;
    // a pass of its own would fetch it again from memory).
    const uint32_t id = load<uint32_t>(rec + CAN_ID_OFFSET);
    if (out.sources) out.sources[r] = static_cast<uint8_t>(id);
    if (out.destinations) out.destinations[r] = static_cast<uint8_t>(id >> 8);
    const uint64_t loc = load<uint64_t>(rec + LOC_OFFSET);
    payload[r] = f.chunk + loc_offset(loc);  // checked when grouped
    const uint64_t count = loc_count(loc);
    g.stored[r] = static_cast<uint16_t>(count);
    longest = std::max(longest, count);
  }
  // No row holds more than `longest` bytes: a signal beyond them has no value.
  g.width = std::min<uint64_t>(width, longest);
  // 8 bytes of slack: rows of up to 8 bytes are written as whole words.
  g.bytes.reset(new uint8_t[n * g.width + 8]);
  std::memset(g.bytes.get() + n * g.width, 0, 8);
  const uint8_t* chunk_end = f.chunk + f.chunk_size;
  for (size_t r = 0; r < n; ++r) {
    if (r + AHEAD < n) __builtin_prefetch(payload[r + AHEAD]);
    uint8_t* dst = g.bytes.get() + r * g.width;
    const size_t have = std::min<size_t>(g.stored[r], g.width);
    g.stored[r] = static_cast<uint16_t>(have);
    if (g.width <= 8 && chunk_end - payload[r] >= 8) {
      // Eight bytes in one move, those past `have` cleared (the next row
      // overwrites what spills past this one).
      std::memcpy(dst, payload[r], 8);
      if (have < 8) std::memset(dst + have, 0, 8 - have);
      continue;
    }
    std::memcpy(dst, payload[r], have);
    std::memset(dst + have, 0, g.width - have);
  }
  payload = {};

  // Signals in multiplexer order; a multiplexer keeps its raw values and
  // where it has a value for the signals it selects.
  std::vector<std::vector<int64_t>> raw(n_signals);
  std::vector<std::vector<uint8_t>> present(n_signals);
  std::vector<bool> is_mux(n_signals, false);
  for (const SignalPlan& s : m.signals)
    if (s.mux >= 0) is_mux[static_cast<size_t>(s.mux)] = true;
  struct Selection {
    int32_t mux;
    const std::vector<int64_t>* ids;
    std::vector<uint8_t> rows;
  };
  std::vector<Selection> selections;
  out.raws.assign(n_signals, {});
  const double nan = std::numeric_limits<double>::quiet_NaN();

  for (uint32_t si : m.order) {
    const SignalPlan& s = m.signals[si];
    double* col = out.values + static_cast<size_t>(si) * n;
    const bool wants_raw = is_mux[si] || s.codes;
    if (wants_raw) {
      raw[si].assign(n, 0);
      present[si].assign(n, 0);
    }
    int32_t* codes = s.codes ? out.codes[si] : nullptr;
    if (s.needed > g.width) {  // beyond every stored payload
      std::fill(col, col + n, nan);
      if (codes) std::fill(codes, codes + n, -1);
      continue;
    }
    const uint8_t* select = nullptr;
    if (s.mux >= 0) {
      Selection* sel = nullptr;
      for (Selection& c : selections)
        if (c.mux == s.mux && *c.ids == s.mux_ids) sel = &c;
      if (!sel) {
        const size_t mi = static_cast<size_t>(s.mux);
        selections.push_back(Selection{s.mux, &s.mux_ids, std::vector<uint8_t>(n)});
        sel = &selections.back();
        const int64_t* mraw = raw[mi].data();
        const uint8_t* mpresent = present[mi].data();
        for (size_t r = 0; r < n; ++r)
          sel->rows[r] =
              mpresent[r] && std::binary_search(s.mux_ids.begin(), s.mux_ids.end(), mraw[r]);
      }
      select = sel->rows.data();
    }
    extract_signal(g, s, select, col, wants_raw ? raw[si].data() : nullptr,
                   wants_raw ? present[si].data() : nullptr);
    if (codes) {
      Coder coder;
      const int64_t* sraw = raw[si].data();
      const uint8_t* has = present[si].data();
      for (size_t r = 0; r < n; ++r) codes[r] = has[r] ? coder.code(sraw[r]) : -1;
      coder.finish(codes, n, out.raws[si]);
    }
  }
}

}  // namespace

void decode_messages(const Frames& f, const Grouping& g, const std::vector<MessagePlan>& messages,
                     std::vector<MessageOutput>& outs, unsigned threads) {
  std::vector<size_t> jobs;
  for (size_t m = 0; m < messages.size(); ++m)
    if (g.count[m]) jobs.push_back(m);
  // The largest first, so that the last jobs are short.
  std::stable_sort(jobs.begin(), jobs.end(), [&](size_t a, size_t b) {
    return g.count[a] * (messages[a].signals.size() + 1) >
           g.count[b] * (messages[b].signals.size() + 1);
  });

  auto work = [&](size_t j) {
    const size_t m = jobs[j];
    const std::vector<uint32_t>& groups = g.groups_of[m];
    std::vector<uint32_t> merged;
    const uint32_t* rows;
    if (groups.size() == 1) {
      rows = g.rows.data() + g.start[groups[0]];
    } else {  // several keys (channels): their frames in frame order
      for (uint32_t k : groups)
        merged.insert(merged.end(), g.rows.begin() + static_cast<ptrdiff_t>(g.start[k]),
                      g.rows.begin() + static_cast<ptrdiff_t>(g.start[k + 1]));
      std::sort(merged.begin(), merged.end());
      rows = merged.data();
    }
    decode_message(f, rows, g.count[m], messages[m], outs[m]);
  };
  if (!jobs.empty()) share_parts(threads, jobs.size(), work);
}

}  // namespace korvel::tables
