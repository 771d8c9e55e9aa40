#include "mf4/datalist.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <mutex>

#include "blf/inflate.hpp"
#include "mf4/groups.hpp"
#include "workpool.hpp"

namespace korvel::mf4 {

namespace {

class Lister {
 public:
  Lister(BlockReader& r, const char* leaf, bool skip) : r_(r), leaf_(leaf), skip_(skip) {}

  // Adds the pieces of the block at `at`; `logical` is where the list says
  // its bytes begin (UNKNOWN when it does not say).
  void block(uint64_t at, const std::string& from, uint64_t logical, int depth) {
    if (ended_) return;
    const std::string ids = std::string(leaf_) + " DZ DL LD HL";
    Block b;
    try {
      guard_.visit(at, from.substr(0, 2), std::stoull(from.substr(from.rfind(' ') + 1)));
      // Data blocks: the header and links only (and a DZ block's fields).
      b = r_.read(at, ids.c_str(), from, false);
      if (b.id != leaf_) r_.load_data(b, b.id == "DZ" ? DZ_FIELDS : size_t(1) << 24);
    } catch (const Mf4Error& e) {
      damaged(at, logical, e.what());
      return;
    }
    const std::string here = where(b.id.c_str(), at);
    if (b.id == leaf_) {
      Piece p;
      p.block = at;
      p.id = b.id;
      p.data_at = at + HEADER_SIZE + 8 * b.links.size();
      p.data_len = b.length - HEADER_SIZE - 8 * b.links.size();
      p.size = p.data_len;
      add(std::move(p), logical);
    } else if (b.id == "DZ") {
      Piece p;
      p.block = at;
      p.id = "DZ";
      p.zipped = true;
      const uint8_t* f = b.at(0, DZ_FIELDS);
      const std::string org(reinterpret_cast<const char*>(f), 2);
      p.zip_type = f[2];
      p.zip_param = u32le(f + 4);
      p.size = u64le(f + 8);
      p.data_len = u64le(f + 16);
      p.data_at = at + HEADER_SIZE + 8 * b.links.size() + DZ_FIELDS;
      const uint64_t body = b.length - HEADER_SIZE - 8 * b.links.size();
      const uint64_t room = body < DZ_FIELDS ? 0 : body - DZ_FIELDS;
      std::string fault;
      if (org != leaf_)
        fault = "holds a compressed " + org + " block where a " + leaf_ + " block belongs";
      else if (p.zip_type > 1)
        fault = "uses compression type " + std::to_string(p.zip_type) +
                " (0 deflate and 1 transposition + deflate are known)";
      else if (p.data_len > room)
        fault = "declares " + std::to_string(p.data_len) + " bytes of compressed data, " +
                std::to_string(room) + " are in the block";
      else if (p.zip_type == 1 && p.zip_param == 0)
        fault = "transposes by 0 columns";
      if (!fault.empty()) {
        if (!skip_) throw Mf4Error("DZ", at, fault);
        p.damage = Mf4Error::describe("DZ", at, fault);
      }
      add(std::move(p), logical);
    } else if (b.id == "HL") {
      if (depth > 8) return damaged(at, logical, Mf4Error::describe("HL", at, "nests too deeply"));
      block_list(b.link(0), here, logical, depth + 1);
    } else {
      block_list(at, from, logical, depth + 1, &b);
    }
  }

  // A DL or LD chain starting at `at` (its first block already read when
  // `first` is given).
  void block_list(uint64_t at, const std::string& from, uint64_t logical, int depth,
                  const Block* first = nullptr) {
    std::string link_from = from;
    bool first_block = true;
    while (at && !ended_) {
      Block b;
      if (first_block && first) {
        b = *first;
      } else {
        try {
          if (!first_block || !first)
            guard_.visit(at, link_from.substr(0, 2),
                         std::stoull(link_from.substr(link_from.rfind(' ') + 1)));
          b = r_.read(at, "DL LD", link_from, true, 1 << 24);
        } catch (const Mf4Error& e) {
          return damaged(at, logical, e.what());
        }
      }
      first_block = false;
      const std::string here = where(b.id.c_str(), at);
      std::vector<uint64_t> offsets;  // of each entry in the stream, when the list says
      size_t count = 0;
      if (b.id == "DL") {
        // flags u8, reserved 3, count u32, then equal_length u64 or offset[count] u64.
        const uint8_t flags = *b.at(0, 1);
        count = u32le(b.at(4, 4));
        if (count > b.links.size() - 1 || b.links.empty()) {
          const std::string fault = "declares " + std::to_string(count) +
                                    " data blocks but links " +
                                    std::to_string(b.links.empty() ? 0 : b.links.size() - 1);
          if (!skip_) throw Mf4Error("DL", at, fault);
          return damaged(at, logical, Mf4Error::describe("DL", at, fault));
        }
        if (flags & 1) {
          const uint64_t equal = u64le(b.at(8, 8));
          if (logical != UNKNOWN)
            for (size_t i = 0; i < count; ++i) offsets.push_back(logical + equal * i);
        } else if (b.data.size() >= 8 + 8 * count) {
          for (size_t i = 0; i < count; ++i) offsets.push_back(u64le(b.data.data() + 8 + 8 * i));
        }
      } else {  // LD: flags u32, count u32; offsets count samples, not bytes
        count = u32le(b.at(4, 4));
        if (b.links.empty() || count > b.links.size() - 1) {
          const std::string fault =
              "declares " + std::to_string(count) + " data blocks but links fewer";
          if (!skip_) throw Mf4Error("LD", at, fault);
          return damaged(at, logical, Mf4Error::describe("LD", at, fault));
        }
      }
      for (size_t i = 0; i < count && !ended_; ++i) {
        const uint64_t entry = b.links[1 + i];
        const uint64_t where_at = i < offsets.size() ? offsets[i] : UNKNOWN;
        if (!entry) continue;
        if (depth > 8)
          return damaged(entry, where_at, Mf4Error::describe("DL", at, "nests too deeply"));
        block(entry, here, where_at, depth + 1);
      }
      link_from = here;
      logical = running_;  // a chained list goes on where this one ended
      at = b.link(0);
    }
  }

  Listing take() { return std::move(out_); }

 private:
  void add(Piece p, uint64_t logical) {
    // The list's own offset wins; else the running sum.
    p.logical = logical != UNKNOWN ? logical : running_;
    running_ = (p.logical == UNKNOWN || p.size == UNKNOWN) ? UNKNOWN : p.logical + p.size;
    out_.pieces.push_back(std::move(p));
  }

  void damaged(uint64_t at, uint64_t logical, const std::string& why) {
    if (!skip_) throw Mf4Error(why);
    Piece p;
    p.block = at;
    p.id = "data";
    p.size = UNKNOWN;
    p.damage = why;
    add(std::move(p), logical);
    // Without offsets from a list, nothing after it can be placed.
    if (logical == UNKNOWN) ended_ = true;
  }

  BlockReader& r_;
  const char* leaf_;
  bool skip_;
  bool ended_ = false;
  uint64_t running_ = 0;
  LoopGuard guard_;
  Listing out_;
};

}  // namespace

Listing list_data(BlockReader& r, uint64_t link, const char* leaf, const std::string& from,
                  bool open_last, bool skip) {
  Lister l(r, leaf, skip);
  if (link) l.block(link, from, 0, 0);
  Listing out = l.take();
  if (open_last && !out.pieces.empty()) {
    // A logger that never finished the file never wrote its last DT
    // block's length: its records run to the end of the file.
    Piece& last = out.pieces.back();
    if (!last.zipped && last.damage.empty() && last.id == leaf) {
      last.data_len = r.file_size() - last.data_at;
      last.size = last.data_len;
    }
  }
  // Large uncompressed blocks are read a MiB at a time: the walks carry
  // records across pieces anyway, and each piece is decoded while in cache.
  constexpr uint64_t SPLIT = uint64_t(1) << 20;
  std::vector<Piece> split;
  for (Piece& p : out.pieces) {
    if (p.zipped || !p.damage.empty() || p.data_len <= SPLIT) {
      split.push_back(std::move(p));
      continue;
    }
    for (uint64_t at = 0; at < p.data_len; at += SPLIT) {
      Piece q = p;
      q.data_at = p.data_at + at;
      q.data_len = q.size = std::min(SPLIT, p.data_len - at);
      q.logical = p.logical == UNKNOWN ? UNKNOWN : p.logical + at;
      split.push_back(std::move(q));
    }
  }
  out.pieces.swap(split);
  return out;
}

const uint8_t* load_piece(RandomSource& src, const Piece& p, ByteBuffer& raw, ByteBuffer& out) {
  if (!p.damage.empty()) throw Mf4Error(p.damage);
  const size_t n = static_cast<size_t>(p.data_len);
  const uint8_t* bytes = src.view(p.data_at, n);
  if (!bytes) {
    ByteBuffer& dst = p.zipped ? raw : out;
    dst.clear();
    src.read_at(p.data_at, dst.reserve_more(n), n);
    dst.commit(n);
    bytes = dst.data();
  }
  if (!p.zipped) return bytes;
  out.clear();
  const InflateResult res =
      inflate_append(bytes, n, static_cast<size_t>(std::min<uint64_t>(p.size, SIZE_MAX)), out);
  if (!res.ok()) throw Mf4Error("DZ", p.block, "does not inflate: " + res.message);
  if (out.size() != p.size)
    throw Mf4Error("DZ", p.block,
                   "inflates to " + std::to_string(out.size()) + " bytes, not the " +
                       std::to_string(p.size) + " it declares");
  if (p.zip_type == 0) return out.data();
  // Transposition: the first rows * columns bytes were stored column by
  // column (byte j of every record, then byte j + 1, ...); the rest as is.
  const size_t cols = p.zip_param;
  const size_t rows = out.size() / cols;
  raw.clear();
  uint8_t* t = raw.reserve_more(out.size());
  const uint8_t* s = out.data();
  // In tiles of rows, so that the records being filled stay in cache.
  constexpr size_t TILE = 64;
  for (size_t i0 = 0; i0 < rows; i0 += TILE) {
    const size_t m = std::min(TILE, rows - i0);
    uint8_t* d = t + i0 * cols;
    for (size_t j = 0; j < cols; ++j) {
      const uint8_t* col = s + j * rows + i0;
      for (size_t i = 0; i < m; ++i) d[i * cols + j] = col[i];
    }
  }
  std::memcpy(t + rows * cols, s + rows * cols, out.size() - rows * cols);
  raw.commit(out.size());
  return raw.data();
}

namespace {

struct Slot {
  ByteBuffer raw, out;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  std::string damage;
  bool failed = false;
  std::exception_ptr error;
  std::future<void> done;
  std::atomic<size_t> claim{0};
};

constexpr size_t TAKEN = SIZE_MAX;

void run_slot(RandomSource& src, const Piece& p, Slot& s) {
  s.bytes = nullptr;
  s.failed = false;
  s.error = nullptr;
  try {
    s.bytes = load_piece(src, p, s.raw, s.out);
    s.size = static_cast<size_t>(p.size);
  } catch (const Mf4Error& e) {
    s.failed = true;
    s.damage = e.what();
  } catch (...) {
    s.error = std::current_exception();
  }
}

// Slots of earlier reads, kept so that their buffers' pages are warm.
std::mutex spare_mu;
std::vector<std::unique_ptr<Slot>> spare;

std::unique_ptr<Slot> take_slot() {
  std::lock_guard<std::mutex> lock(spare_mu);
  if (spare.empty()) return std::make_unique<Slot>();
  std::unique_ptr<Slot> s = std::move(spare.back());
  spare.pop_back();
  return s;
}

void give_slot(std::unique_ptr<Slot> s) {
  s->done = std::future<void>();
  s->error = nullptr;
  // Blocks of logger files are a few MiB at most; a huge one is not kept.
  if (s->raw.capacity() + s->out.capacity() > (size_t(64) << 20)) return;
  std::lock_guard<std::mutex> lock(spare_mu);
  if (spare.size() < 16) spare.push_back(std::move(s));
}

// Finishes the consumer's work on the way out of an error: the error that
// brought us here wins.
void settle_quietly(const std::function<void()>& settle) {
  if (settle) try {
      settle();
    } catch (...) {
    }
}

}  // namespace

void load_pieces(RandomSource& src, const std::vector<Piece>& pieces, unsigned threads,
                 const TakePiece& take, const std::function<void()>& settle) {
  const size_t n = pieces.size();
  // With `settle`, the consumer keeps reading piece i until take(i + 1)
  // returns: its slot is refilled one piece later.
  const size_t hold = settle ? 1 : 0;
  if (threads <= 1 || n <= 1) {
    std::unique_ptr<Slot> held[2] = {take_slot(), hold ? take_slot() : nullptr};
    struct Give {
      std::unique_ptr<Slot> (&held)[2];
      const std::function<void()>& settle;
      ~Give() {
        settle_quietly(settle);
        for (auto& s : held)
          if (s) give_slot(std::move(s));
      }
    } give{held, settle};
    for (size_t i = 0; i < n; ++i) {
      Slot& s = *held[hold ? i % 2 : 0];
      run_slot(src, pieces[i], s);
      if (s.error) std::rethrow_exception(s.error);
      if (!take(i, s.bytes, s.size, s.failed ? &s.damage : nullptr)) break;
    }
    if (settle) settle();
    return;
  }
  // Pieces in flight: a few per worker, taken in order. The consumer is
  // one of the threads the caller allowed: rather than wait, it loads the
  // pieces no worker has begun. A consumer with jobs of its own on the
  // pool (`settle`) keeps one piece ahead per thread: with more, the
  // workers spend themselves on loads while its jobs wait. A slot's `claim`
  // holds the index of the piece still to be loaded into it; whoever swaps
  // it for TAKEN loads it.
  const size_t window = std::min<size_t>(n, settle ? size_t(threads) : size_t(threads) * 2);
  std::vector<std::unique_ptr<Slot>> slots(window);
  for (auto& s : slots) s = take_slot();
  std::vector<std::future<void>> tasks;  // every one, drained before the slots go
  tasks.reserve(n);
  std::vector<char> mine(n, 0);  // loaded by the consumer
  WorkPool& pool = shared_pool(threads - 1);
  auto claim = [](Slot& s, size_t i) {
    size_t want = i;
    return s.claim.compare_exchange_strong(want, TAKEN);
  };
  auto start = [&](size_t i) {
    Slot* s = slots[i % window].get();
    const Piece* p = &pieces[i];
    s->claim.store(i);
    tasks.push_back(pool.submit([&src, p, s, i, claim] {
      if (claim(*s, i)) run_slot(src, *p, *s);
    }));
  };
  size_t next = 0;
  struct Drain {  // workers use the slots: wait for them whatever happens
    std::vector<std::unique_ptr<Slot>>& slots;
    std::vector<std::future<void>>& tasks;
    const std::function<void()>& settle;
    ~Drain() {
      settle_quietly(settle);
      for (auto& t : tasks)
        if (t.valid()) t.wait();
      for (auto& s : slots) give_slot(std::move(s));
    }
  } drain{slots, tasks, settle};
  for (; next < window; ++next) start(next);
  for (size_t i = 0; i < n; ++i) {
    Slot& s = *slots[i % window];
    if (!mine[i] && claim(s, i)) {
      run_slot(src, pieces[i], s);
    } else if (!mine[i]) {
      std::future<void>& own = tasks[i];
      for (size_t j = i + 1;
           j < next && own.wait_for(std::chrono::seconds(0)) != std::future_status::ready; ++j)
        if (claim(*slots[j % window], j)) {
          run_slot(src, pieces[j], *slots[j % window]);
          mine[j] = 1;
        }
      own.get();
    }
    if (s.error) std::rethrow_exception(s.error);
    if (!take(i, s.bytes, s.size, s.failed ? &s.damage : nullptr)) break;
    if (next < n && i >= hold) start(next++);
  }
  if (settle) settle();
}

}  // namespace korvel::mf4
