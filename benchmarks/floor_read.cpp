// The floor under korvel.read, for bench_read.py (which compiles it with the
// extension's own compiler flags): the log's bytes in memory, each container
// inflated by libdeflate and its frame objects parsed straight into fresh
// arrays (24-byte records and a payload chunk, as korvel.read returns them),
// on 1 or more threads, each thread taking a run of whole containers.
// Nothing else: no checks beyond what keeps the walk in bounds, no notices,
// no Python.
//
//   floor_read LOG THREADS RUNS  ->  prints "frames median_s join_median_s"
//
// join: the time, within each run, of closing up the threads' regions of
// the result (a reader hands out one array); the first figure includes it.
#include <libdeflate.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

#pragma pack(push, 1)
struct Rec {
  int64_t timestamp;
  uint32_t can_id;
  uint8_t is64, channel, len, flags;
  uint64_t loc;
};
#pragma pack(pop)
static_assert(sizeof(Rec) == 24, "record layout");

template <class T>
T ld(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool lobj(const uint8_t* p) { return ld<uint32_t>(p) == 0x4A424F4Cu; }

struct Container {
  const uint8_t* stored;
  size_t n;
  uint32_t usize;
  uint16_t method;
};

// One thread's piece of the result.
struct Piece {
  Rec* recs = nullptr;
  uint8_t* chunk = nullptr;
  size_t count = 0, bytes = 0;
};

const uint8_t DLC_LEN[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// Parses the frame object at p (whole, `size` bytes) into the piece.
inline void parse(const uint8_t* p, uint32_t size, Piece& out) {
  const uint32_t type = ld<uint32_t>(p + 12);
  const uint16_t hv = ld<uint16_t>(p + 6);
  const uint32_t hb = hv == 1 ? 32 : hv == 2 ? 40 : 0;
  if (!hb || size < hb + 16) return;
  const uint32_t unit = ld<uint32_t>(p + 16);
  const uint64_t raw = ld<uint64_t>(p + 24);
  const uint8_t* b = p + hb;
  Rec& r = out.recs[out.count];  // filled in place: no copy of a whole record
  r.timestamp = static_cast<int64_t>(unit == 1 ? raw * 10000 : raw);
  const uint8_t* src;
  size_t n;
  if (type == 1 || type == 86) {
    const uint32_t id = ld<uint32_t>(b + 4);
    r.can_id = id & 0x1FFFFFFF;
    r.is64 = 0;
    r.channel = b[0];
    r.len = b[3];
    r.flags = static_cast<uint8_t>((b[2] & 0x80 ? 1 : 0) | (b[2] & 1 ? 0 : 2) | (id >> 31 << 2));
    n = std::min<size_t>(b[3], 8);
    std::memcpy(out.chunk + out.bytes, b + 8, 8);  // whole field: the chunk has slack
    r.loc = out.bytes | static_cast<uint64_t>(n) << 48;
    out.bytes += n;
    ++out.count;
    return;
  } else if (type == 100 && size >= hb + 84) {
    const uint32_t id = ld<uint32_t>(b + 4);
    r.can_id = id & 0x1FFFFFFF;
    r.is64 = 1;
    r.channel = b[0];
    r.len = DLC_LEN[b[3] & 15];
    r.flags = static_cast<uint8_t>((b[2] & 0x80 ? 1 : 0) | (b[2] & 1 ? 0 : 2) | (id >> 31 << 2) |
                                   (b[13] & 7) << 3);
    src = b + 20;
    n = std::min<size_t>(b[14], 64);
  } else if (type == 101 && size >= hb + 40) {
    const uint32_t id = ld<uint32_t>(b + 4);
    const uint32_t f = ld<uint32_t>(b + 12);
    r.can_id = id & 0x1FFFFFFF;
    r.is64 = 1;
    r.channel = b[0];
    r.len = DLC_LEN[b[1] & 15];
    r.flags = static_cast<uint8_t>((b[34] ? 0 : 2) | (id >> 31 << 2) | (f >> 9 & 56));
    src = b + 40;
    n = std::min<size_t>(b[2], size - hb - 40);
  } else {
    return;
  }
  std::memcpy(out.chunk + out.bytes, src, n);
  r.loc = out.bytes | static_cast<uint64_t>(n) << 48;
  out.bytes += n;
  ++out.count;
}

// Where the object after one ending at `pos` begins (up to 3 bytes of
// padding), or SIZE_MAX.
inline size_t next_at(const uint8_t* d, size_t len, size_t pos) {
  for (size_t k = 0; k < 4 && pos + k + 4 <= len; ++k)
    if (lobj(d + pos + k)) return pos + k;
  return SIZE_MAX;
}

// The first object in d whose walk goes on to the end or to another object.
size_t first_object(const uint8_t* d, size_t len) {
  for (size_t i = 0; i + 16 <= len; ++i) {
    if (!lobj(d + i)) continue;
    const uint32_t size = ld<uint32_t>(d + i + 8);
    if (size < 16) continue;
    const size_t end = i + size;
    if (end >= len || next_at(d, len, end) != SIZE_MAX) return i;
  }
  return len;
}

// Containers [a, b) into `out`: objects that begin in them, those cut by b's
// start finished from container b.
void walk(const std::vector<Container>& cs, size_t a, size_t b, Piece& out) {
  libdeflate_decompressor* z = libdeflate_alloc_decompressor();
  std::vector<uint8_t> buf;
  size_t have = 0, pos = 0;
  bool first = a > 0;
  for (size_t i = a; i < cs.size() && (i < b || have > pos); ++i) {
    const Container& c = cs[i];
    // Keep the unfinished object's bytes, then the container's.
    std::memmove(buf.data(), buf.data() + pos, have - pos);
    have -= pos;
    pos = 0;
    if (buf.size() < have + c.usize) buf.resize(have + c.usize);
    size_t got = 0;
    if (c.method == 2) {
      if (libdeflate_zlib_decompress(z, c.stored, c.n, buf.data() + have, c.usize, &got)) break;
    } else {
      got = std::min<size_t>(c.n, c.usize);
      std::memcpy(buf.data() + have, c.stored, got);
    }
    const size_t began = have;  // objects starting past here begin in container i
    have += got;
    if (first) {
      pos = first_object(buf.data(), have);
      first = false;
    }
    const bool last = i >= b;
    for (;;) {
      const size_t at = next_at(buf.data(), have, pos);
      if (at == SIZE_MAX || have - at < 16) break;
      if (last && at >= began) {
        pos = have;  // the next run's first object
        break;
      }
      const uint32_t size = ld<uint32_t>(buf.data() + at + 8);
      if (size < 16) {
        pos = have;
        break;
      }
      if (have - at < size) {
        pos = at;
        break;
      }
      parse(buf.data() + at, size, out);
      pos = at + size;
    }
    if (last) break;
  }
  libdeflate_free_decompressor(z);
}

double seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: floor_read LOG THREADS RUNS\n");
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  const std::vector<uint8_t> log((std::istreambuf_iterator<char>(f)),
                                 std::istreambuf_iterator<char>());
  const size_t threads = std::max(1, std::atoi(argv[2]));
  const int runs = std::max(1, std::atoi(argv[3]));
  if (log.size() < 144) return 1;
  std::vector<Container> cs;
  size_t total_usize = 0;
  for (size_t p = ld<uint32_t>(log.data() + 4); p + 32 <= log.size();) {
    const uint32_t size = ld<uint32_t>(log.data() + p + 8);
    if (size < 16 || size > log.size() - p) break;
    if (ld<uint32_t>(log.data() + p + 12) == 10 && size >= 32) {
      cs.push_back({log.data() + p + 32, size - 32u, ld<uint32_t>(log.data() + p + 24),
                    ld<uint16_t>(log.data() + p + 16)});
      total_usize += cs.back().usize;
    }
    p += size + size % 4;
  }
  // Runs of containers of about equal stored bytes.
  std::vector<size_t> cut{0};
  size_t stored = 0, all = 0;
  for (const Container& c : cs) all += c.n;
  for (size_t i = 0; i < cs.size() && cut.size() < threads; ++i) {
    stored += cs[i].n;
    if (stored * threads >= all * cut.size()) cut.push_back(i + 1);
  }
  while (cut.size() <= threads) cut.push_back(cs.size());
  cut.back() = cs.size();

  std::vector<double> times, joins;
  size_t frames = 0;
  for (int run = 0; run < runs; ++run) {
    const double t0 = seconds();
    // One pair of fresh, untouched arrays, as a new result has: each thread
    // writes into its own region of them, sized by bounds (objects of at
    // least 48 bytes, payloads no longer than their objects); the regions
    // are then closed up.
    std::vector<Piece> pieces(threads);
    std::vector<size_t> rec_at(threads + 1, 0), byte_at(threads + 1, 0);
    for (size_t t = 0; t < threads; ++t) {
      size_t usize = 1024;
      for (size_t i = cut[t]; i < cut[t + 1]; ++i) usize += cs[i].usize;
      rec_at[t + 1] = rec_at[t] + usize / 48 + 1;
      byte_at[t + 1] = byte_at[t] + usize + 64;
    }
    Rec* recs = static_cast<Rec*>(std::malloc(rec_at[threads] * sizeof(Rec)));
    uint8_t* chunk = static_cast<uint8_t*>(std::malloc(byte_at[threads]));
    for (size_t t = 0; t < threads; ++t) {
      pieces[t].recs = recs + rec_at[t];
      pieces[t].chunk = chunk + byte_at[t];
    }
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t)
      pool.emplace_back(walk, std::cref(cs), cut[t], cut[t + 1], std::ref(pieces[t]));
    walk(cs, cut[0], cut[1], pieces[0]);
    for (std::thread& th : pool) th.join();
    const double t1 = seconds();
    Piece& into = pieces[0];
    for (size_t t = 1; t < threads; ++t) {
      const Piece& p = pieces[t];
      for (size_t k = 0; k < p.count; ++k) {
        Rec r = p.recs[k];
        r.loc += into.bytes;
        into.recs[into.count + k] = r;
      }
      std::memmove(into.chunk + into.bytes, p.chunk, p.bytes);
      into.count += p.count;
      into.bytes += p.bytes;
    }
    const double t2 = seconds();
    times.push_back(t2 - t0);
    joins.push_back(t2 - t1);
    frames = into.count;
    std::free(recs);
    std::free(chunk);
  }
  std::sort(times.begin(), times.end());
  std::sort(joins.begin(), joins.end());
  std::printf("%zu %.6f %.6f\n", frames, times[times.size() / 2], joins[joins.size() / 2]);
  return 0;
}
