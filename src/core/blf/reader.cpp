#include "blf/reader.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <new>
#include <vector>

#include "blf/inflate.hpp"
#include "blf/objects.hpp"
#include "blf/pipeline.hpp"
#include "workpool.hpp"

namespace korvel {

using namespace blf;

namespace {

// Larger reads are split so that a corrupt size cannot make the reader
// allocate far more than the source holds.
constexpr size_t READ_CHUNK = size_t(16) << 20;

constexpr size_t HEADROOM = OrderedScan::HEADROOM;

// A failure of the read, carried out of the loops to read()'s boundary.
struct Failure {
  ReadError error;
};

ReadError error(ErrorCode code, uint64_t offset = 0, uint64_t size = 0) {
  ReadError e;
  e.code = code;
  e.offset = offset;
  e.size = size;
  return e;
}

[[noreturn]] void fail(const ReadError& e) { throw Failure{e}; }
[[noreturn]] void fail(ErrorCode code, uint64_t offset = 0, uint64_t size = 0) {
  fail(error(code, offset, size));
}

ReadError zlib_error(const std::string& message) {
  ReadError e;
  e.code = ErrorCode::Zlib;
  e.zlib_message = message;
  return e;
}

ReadError scan_error(const ScanResult& r, uint64_t container_pos) {
  if (r.status == ScanStatus::NotFound) return error(ErrorCode::NextObjectNotFound);
  ReadError e = error(ErrorCode::InnerObjectTooSmall, container_pos, r.object_size);
  e.object_type = r.object_type;
  e.inner_offset = r.offset;
  e.needed = r.required;
  return e;
}

// Whether [p, p + avail) begins with a header that a log container would
// have: "LOBJ", a container's header size and type, sizes that can be
// true, a known method and, for zlib, a valid stream header.
bool plausible_container(const uint8_t* p, size_t avail) {
  constexpr size_t NEED = CONTAINER_HEADER_TOTAL + 2;
  if (avail < NEED || !is_lobj(p)) return false;
  auto base = load<ObjHeaderBase_t>(p);
  auto c = load<LogContainer_t>(p + sizeof(ObjHeaderBase_t));
  if (base.object_type != LOG_CONTAINER || (base.header_size != 16 && base.header_size != 32) ||
      base.object_size < NEED || base.object_size > (uint32_t(1) << 30))
    return false;
  const uint64_t stored = base.object_size - CONTAINER_HEADER_TOTAL;
  if (c.compression_method == NO_COMPRESSION) return c.uncompressed_size == stored;
  if (c.compression_method != ZLIB_DEFLATE) return false;
  const uint8_t cmf = p[CONTAINER_HEADER_TOTAL], flg = p[CONTAINER_HEADER_TOTAL + 1];
  return c.uncompressed_size >= 1 && c.uncompressed_size <= stored * 1032 + 64 &&
         (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && !(flg & 0x20) && ((cmf << 8) | flg) % 31 == 0;
}

// The error an exception in flight stands for.
ReadError error_of(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (Failure& f) {
    return f.error;
  } catch (ExternalError&) {
    return error(ErrorCode::External);
  } catch (std::bad_alloc&) {
    return error(ErrorCode::NoMemory);
  }
  // Anything else is a bug of ours; let it surface.
}
// pieces, so a lying size costs no more memory than the source holds.
size_t read_into(ByteSource& source, ByteBuffer& buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const size_t want = std::min(READ_CHUNK, n - got);
    const size_t k = source.read(buf.reserve_more(want), want);
    buf.commit(k);
    got += k;
    if (k < want) break;
  }
  return got;
}

}  // namespace

struct LogReader::Impl {
  ByteSource& source;
  NoticeSink& notices;
  ReaderOptions options;
  uint64_t pos = 0;  // bytes taken from the source
  size_t window;     // containers in flight
  size_t batch;      // containers finished per wait
  bool ended = false;
  bool range_done = false;     // a range's last object is complete (the log goes on)
  bool top_truncated = false;  // the log ends inside a top-level object
  bool tail_done = false;      // what the walk carried at the end has been dealt with
  bool failed = false;
  bool container_failed = false;
  ByteBuffer base_bytes;
  // Bytes read past a top-level header while looking for it, taken first.
  ByteBuffer look;
  size_t look_pos = 0;
  size_t pending_pad = 0;  // padding of the last top-level object, not yet read
  size_t container_index = 0;
  bool lead_in_done = false;
  int64_t start_timestamp = 0;  // as given to start()
  bool exact_timestamps = false;
  // Frames handed out on channels above 255, reported once at the end.
  WideChannels wide;
  bool wide_reported = false;
  // A window's guessed range (window_guess): past its end, whether the next
  // container is the first one after it, or the last container read there
  // held a frame kept; and whether the reading there has stopped.
  bool first_past = true;
  bool past_holds = false;
  bool window_done = false;
  bool window_unsure = false;
  LocalFrames lead_frames;  // frames of lead containers, decoded to see which are kept

  std::deque<std::unique_ptr<Job>> pending;
  // Buffers of finished containers, for the next ones.
  struct Spare {
    ByteBuffer stored;
    ByteBuffer out;
    std::unique_ptr<AheadSlot> ahead;
  };
  std::vector<Spare> spare;
  // Containers just before a wanted range, to find where its first object
  // begins.
  std::deque<std::unique_ptr<Job>> lead;
  size_t lead_bytes = 0;
  CopyQueue copies;
  Output output;
  std::unique_ptr<InnerScanner> scanner;
  std::unique_ptr<OrderedScan> ordered;
  // Last, so that it is destroyed first: workers still running jobs use
  // the members above.
  std::unique_ptr<JobQueue> jobs;

  Impl(ByteSource& s, NoticeSink& n, const ReaderOptions& o)
      : source(s),
        notices(n),
        options(o),
        window(o.threads > 1 ? 4 * o.threads : 1),
        batch(o.threads > 1 ? 2 * o.threads : 1),
        output(o.threads > 1 ? &copies : nullptr) {
    output.others = o.objects;
    if (options.threads > 1)
      jobs =
          std::make_unique<JobQueue>(&shared_pool(options.threads - 1), options.always_scan_ahead);
  }

  // Appends up to n bytes to `buf`: what was looked at ahead first.
  size_t take(ByteBuffer& buf, size_t n) {
    size_t got = std::min(n, look.size() - look_pos);
    if (got) {
      std::memcpy(buf.reserve_more(got), look.data() + look_pos, got);
      buf.commit(got);
      look_pos += got;
    }
    if (got < n) got += read_into(source, buf, n - got);
    pos += got;
    return got;
  }
  // Reads ahead so that the next n bytes are taken from one read of the
  // source (what is left over is taken by whatever comes next).
  void read_ahead(size_t n) {
    const size_t have = look.size() - look_pos;
    if (have >= n) return;
    look.consume_front(look_pos);
    look_pos = 0;
    read_into(source, look, n - have);
  }
  size_t skip(size_t n) {
    size_t got = std::min(n, look.size() - look_pos);
    look_pos += got;
    if (got < n) got += source.skip(n - got);
    pos += got;
    return got;
  }
  // Gives back the last n bytes taken into `buf` (and drops them there).
  void unread(ByteBuffer& buf, size_t n) {
    ByteBuffer rest;
    std::memcpy(rest.reserve_more(n), buf.data() + buf.size() - n, n);
    rest.commit(n);
    const size_t left = look.size() - look_pos;
    if (left) std::memcpy(rest.reserve_more(left), look.data() + look_pos, left);
    rest.commit(left);
    look = std::move(rest);
    look_pos = 0;
    pos -= n;
    buf.drop_back(n);
  }

  void report_truncated(uint64_t object_pos, uint64_t declared, uint64_t present) {
    top_truncated = true;
    Notice n{NoticeKind::Truncated};
    n.object_pos = object_pos;
    n.declared = declared;
    n.present = present;
    notices.notice(n);
  }

  // The next top-level object's base header, after the padding of the one
  // before; false at the end of the data (a cut header is reported).
  bool next_header(ObjHeaderBase_t& base, uint64_t& object_pos) {
    for (;;) {
      ReadError damage;
      const int r = try_header(base, object_pos, damage);
      if (r >= 0) return r == 1;
      // Damaged, with skip_damaged: go on at the next plausible container.
      if (!find_container(object_pos, damage)) return false;
    }
  }

  // 1: a header; 0: the end of the data; -1: a damaged header (only with
  // skip_damaged; otherwise the fault is raised), `damage` saying why.
  int try_header(ObjHeaderBase_t& base, uint64_t& object_pos, ReadError& damage) {
    base_bytes.clear();
    const size_t pad = take(base_bytes, pending_pad);
    pending_pad = 0;
    const uint64_t after_previous = pos - pad;
    object_pos = pos;
    const size_t got = take(base_bytes, sizeof(ObjHeaderBase_t));
    if (got == 0) return 0;
    size_t start = pad;
    if (got < 4 || !is_lobj(base_bytes.data() + pad)) {
      // Writers that align objects to 8 bytes put up to 7 zeros after one;
      // the usual padding may have taken some of them, or the beginning of
      // the next signature.
      const uint8_t* c = base_bytes.data();
      const size_t n = base_bytes.size();
      size_t z = 0;
      while (z < n && c[z] == 0) ++z;
      if (z == n && got < sizeof(ObjHeaderBase_t)) return 0;  // zeros up to the end
      const size_t sig = std::min<size_t>(n - z, 4);
      if (z <= MAX_ZERO_PADDING && sig > 0 && std::memcmp(c + z, "LOBJ", sig) == 0) {
        start = z;
        object_pos = after_previous + z;
        if (n - z < sizeof(ObjHeaderBase_t))
          take(base_bytes, sizeof(ObjHeaderBase_t) - (n - z));
        else if (n - z > sizeof(ObjHeaderBase_t))
          unread(base_bytes, n - z - sizeof(ObjHeaderBase_t));
      } else if (got == sizeof(ObjHeaderBase_t)) {
        damage = error(ErrorCode::NoObjectHeader, object_pos);
        if (!options.skip_damaged) fail(damage);
        return -1;
      }
      // Otherwise a header cut by the end, where it was expected.
    }
    const size_t have = std::min(base_bytes.size() - start, sizeof(ObjHeaderBase_t));
    if (have < sizeof(ObjHeaderBase_t)) {
      finish_all();
      report_truncated(object_pos, sizeof(ObjHeaderBase_t), have);
      return 0;
    }
    base = load<ObjHeaderBase_t>(base_bytes.data() + start);
    if (base.object_size < sizeof(ObjHeaderBase_t)) {
      damage = error(ErrorCode::ObjectTooSmall, object_pos, base.object_size);
      if (!options.skip_damaged) fail(damage);
      return -1;
    }
    if (options.skip_damaged && base.object_type == LOG_CONTAINER &&
        base.object_size < CONTAINER_HEADER_TOTAL) {
      damage = error(ErrorCode::ContainerTooSmall, object_pos, base.object_size);
      return -1;
    }
    return 1;
  }

  // After damage met at `damage_pos`: goes on at the next plausible log
  // container header (reported as a Damaged region); false when the data
  // ends first.
  bool find_container(uint64_t damage_pos, const ReadError& cause) {
    // The bytes after the damaged header's first one are searched again.
    unread(base_bytes, static_cast<size_t>(pos - (damage_pos + 1)));
    finish_all();  // their notices come first
    constexpr size_t WINDOW = size_t(1) << 16;
    constexpr size_t KEEP = CONTAINER_HEADER_TOTAL + 2;
    ByteBuffer win;
    uint64_t win_pos = pos;
    uint64_t found = NO_OBJECT;
    for (size_t from = 0;;) {
      const size_t got = take(win, WINDOW);
      for (size_t i = from; i < win.size() && found == NO_OBJECT;) {
        const void* hit = std::memchr(win.data() + i, 'L', win.size() - i);
        if (!hit) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - win.data());
        if (win.size() - i < KEEP && got == WINDOW) break;  // decided with more bytes
        if (plausible_container(win.data() + i, win.size() - i)) found = win_pos + i;
        ++i;
      }
      if (found != NO_OBJECT) {
        unread(win, static_cast<size_t>(win_pos + win.size() - found));
        break;
      }
      if (got < WINDOW) break;  // the end of the data
      const size_t drop = win.size() - KEEP;
      win.consume_front(drop);
      win_pos += drop;
      from = 0;
    }
    Notice n{NoticeKind::Damaged};
    n.object_pos = damage_pos;
    n.declared = found != NO_OBJECT ? found : pos;
    n.container = container_index;
    n.cause = cause;
    notices.notice(n);
    pending_pad = 0;
    return found != NO_OBJECT;
  }

  // Takes up to `want` bytes of a top-level object's body into `buf` and
  // skips the rest; returns how many bytes of the body the source held (all
  // of them unless the log ends inside it).
  size_t read_body(const ObjHeaderBase_t& base, ByteBuffer& buf, size_t want) {
    buf.clear();
    const size_t rest = base.object_size - sizeof(ObjHeaderBase_t);
    const size_t first = std::min(want, rest);
    size_t present = take(buf, first);
    if (present == first && rest > first) present += skip(rest - first);
    if (present == rest) pending_pad = base.object_size % 4;
    return present;
  }

  void check_container(const ObjHeaderBase_t& base, uint64_t object_pos, size_t stored,
                       bool truncated) {
    if (!truncated && stored < sizeof(LogContainer_t))
      fail(ErrorCode::ContainerTooSmall, object_pos, base.object_size);
  }

  // Top-level objects until the output holds `until` records or the log
  // ends.
  void read_objects(size_t until) {
    while (!ended && output.record_count < until) {
      ObjHeaderBase_t base;
      uint64_t object_pos;
      if (!next_header(base, object_pos)) {
        ended = true;
        break;
      }
      const bool container = base.object_type == LOG_CONTAINER;
      const size_t index = container_index;
      const size_t rest = base.object_size - sizeof(ObjHeaderBase_t);
      // Containers far before a wanted range are not even read.
      if (container && index + LEAD_MAX < options.first_container) {
        ByteBuffer& head = base_bytes;
        const size_t present = read_body(base, head, sizeof(LogContainer_t));
        check_container(base, object_pos, head.size(), present < rest);
        if (head.size() >= sizeof(LogContainer_t)) ++container_index;
        if (present < rest) end_truncated(object_pos, base.object_size, present);
        continue;
      }

      std::unique_ptr<Job> job = new_job();
      const size_t stored = read_body(base, job->stored, SIZE_MAX);
      const bool whole = stored == rest;
      if (!whole) ended = true;

      if (container) {
        check_container(base, object_pos, stored, !whole);
        if (stored >= sizeof(LogContainer_t)) {
          ++container_index;
          prepare(*job, object_pos, base.object_size, !whole);
          if (index < options.first_container) {
            keep_for_lead_in(std::move(job));
          } else if (index >= options.end_container) {
            complete_range(std::move(job));
          } else {
            if (!lead_in_done) lead_into_range();
            submit(std::move(job));
          }
          continue;
        }
      }
      recycle(std::move(job));
      if (!whole) {
        end_truncated(object_pos, base.object_size, stored);
      } else if (!container && options.skip_damaged && index < options.end_container &&
                 (lead_in_done || options.first_container == 0)) {
        // Salvage: a container whose type was damaged reads as some other
        // object, and an object carried into it cannot be finished.
        finish_all();
        if (drop_cut_object(object_pos + base.object_size, index)) ordered->resync();
      }
    }
  }

  void end_truncated(uint64_t object_pos, uint32_t object_size, size_t stored) {
    ended = true;
    finish_all();
    report_truncated(object_pos, object_size, sizeof(ObjHeaderBase_t) + stored);
  }

  // A job with buffers of a finished container whose frames have been
  // copied out, or fresh ones when none is free yet, unless that many are
  // waiting.
  std::unique_ptr<Job> new_job() {
    auto job = std::make_unique<Job>();
    auto ready = [](const Spare& sp) { return !sp.ahead || !sp.ahead->copying.load(); };
    auto it = std::find_if(spare.begin(), spare.end(), ready);
    if (it == spare.end() && spare.size() >= window) {
      it = spare.begin();
      copies.finish(it->ahead->copying);
    }
    if (it != spare.end()) {
      job->stored = std::move(it->stored);
      job->out = std::move(it->out);
      job->ahead = std::move(it->ahead);
      spare.erase(it);
    }
    return job;
  }

  void recycle(std::unique_ptr<Job> job) {
    spare.push_back(Spare{std::move(job->stored), std::move(job->out), std::move(job->ahead)});
  }

  static bool known_method(uint16_t method) {
    return method == NO_COMPRESSION || method == ZLIB_DEFLATE;
  }

  void prepare(Job& job, uint64_t object_pos, uint32_t object_size, bool truncated) {
    auto container = load<LogContainer_t>(job.stored.data());
    job.object_pos = object_pos;
    job.index = container_index - 1;
    job.object_size = object_size;
    job.method = container.compression_method;
    job.uncompressed_size = container.uncompressed_size;
    job.truncated = truncated;
    job.use_libdeflate = options.use_libdeflate;
    job.done = false;
    job.error = nullptr;
    job.result = InflateResult{};
    job.out.clear();
    job.out.reserve_more(HEADROOM);
    job.out.commit(HEADROOM);
  }

  void submit(std::unique_ptr<Job> job) {
    if (jobs) {
      if (!job->ahead) job->ahead = std::make_unique<AheadSlot>();
      job->copies = &copies;
      job->scan_ahead_with = scanner.get();
    }
    Job* raw = job.get();
    pending.push_back(std::move(job));
    if (!known_method(raw->method))
      raw->done = true;
    else if (jobs)
      jobs->submit(raw);
    else
      raw->run(false);
    // Finished in batches, so that the source is read in runs.
    if (pending.size() >= window)
      for (size_t i = 0; i < batch && !pending.empty(); ++i) finish_oldest();
  }

  // Containers before a wanted range: the last few are kept, to walk up to
  // the range's first object.
  static constexpr size_t LEAD_MAX = 64;
  static constexpr size_t LEAD_BYTES = size_t(4) << 20;

  void keep_for_lead_in(std::unique_ptr<Job> job) {
    lead_bytes += job->stored.size();
    lead.push_back(std::move(job));
    while (lead.size() > 1 && (lead.size() > LEAD_MAX || lead_bytes > LEAD_BYTES)) {
      lead_bytes -= lead.front()->stored.size();
      recycle(std::move(lead.front()));
      lead.pop_front();
    }
  }

  // Where the range's first object begins: walk the containers before it,
  // from the newest one in which an object begins cleanly. When none does
  // (or one cannot be inflated), the range starts at its first container's
  // first clean object.
  void lead_into_range() {
    lead_in_done = true;
    if (options.first_container == 0) return;
    if (options.window_guess && options.first_container > options.window_first) {
      window_lead_in();
      drop_lead();
      return;
    }
    std::vector<ByteBuffer> data;  // inflated, newest first
    std::vector<DataOrigin> origins;
    // When no container gives a start the walk confirms, the newest
    // header whose first object runs past what is at hand is taken.
    ByteBuffer fallback;
    std::vector<TailPiece> fallback_pieces;
    size_t fallback_at = NO_OBJECT;
    bool found = false;
    for (size_t k = lead.size(); k-- > 0 && !found;) {
      Job& j = *lead[k];
      origins.push_back(origin_of(j));
      if (!known_method(j.method)) {
        data.emplace_back();  // skipped, as the whole read skips it
        continue;
      }
      j.scan_ahead_with = nullptr;
      j.copies = nullptr;
      j.run(false);
      if (j.error || !j.result.ok()) break;
      data.push_back(std::move(j.out));
      ByteBuffer region;
      std::vector<TailPiece> pieces;
      join_lead(data, origins, region, pieces);
      const size_t first_len = data.back().size() ? data.back().size() - HEADROOM : 0;
      const StartPoint sp = start_point(region.data(), region.size(), 0, first_len);
      if (sp.pos != NO_OBJECT) {
        ordered->lead_in_at(region.data(), region.size(), sp.pos, pieces, nullptr);
        found = true;
      } else if (sp.undecided != NO_OBJECT && fallback_at == NO_OBJECT) {
        fallback = std::move(region);
        fallback_pieces = std::move(pieces);
        fallback_at = sp.undecided;
      }
    }
    if (!found && fallback_at != NO_OBJECT) {
      ordered->lead_in_at(fallback.data(), fallback.size(), fallback_at, fallback_pieces, nullptr);
      found = true;
    }
    if (!found) ordered->resync();
    drop_lead();
  }

  void drop_lead() {
    while (!lead.empty()) {
      recycle(std::move(lead.front()));
      lead.pop_front();
    }
    lead_bytes = 0;
  }

  // Joins inflated lead containers (newest first in `data`) into `region`,
  // oldest first, with the pieces saying where each came from.
  static void join_lead(const std::vector<ByteBuffer>& data, const std::vector<DataOrigin>& origins,
                        ByteBuffer& region, std::vector<TailPiece>& pieces) {
    region.clear();
    pieces.clear();
    for (size_t i = data.size(); i-- > 0;) {
      const size_t n = data[i].size() - (data[i].size() ? HEADROOM : 0);
      if (n) pieces.push_back(TailPiece{region.size(), origins[i], 0});
      std::memcpy(region.reserve_more(n), data[i].data() + (n ? HEADROOM : 0), n);
      region.commit(n);
    }
  }

  // For a time window guessed to begin in the range's first container: the
  // containers before it are taken in, newest first, for as long as each
  // holds a frame kept; the walk begins at the first clean object of an older
  // one. When every lead container holds one, the guess is unsure.
  void window_lead_in() {
    std::vector<ByteBuffer> data;  // inflated, newest first
    std::vector<DataOrigin> origins;
    struct Lead {
      ByteBuffer region;
      std::vector<TailPiece> pieces;
      size_t start = NO_OBJECT;  // where the walk begins
      size_t keep_from = 0;      // the first piece kept
      std::vector<size_t> begins;
      bool decided = false;
    } best, fallback;
    // Which pieces of `l` hold frames kept: false on a fault.
    auto evaluate = [&](Lead& l, size_t p) {
      std::vector<char> holds;
      l.begins.clear();
      if (!lead_holds(l.region, p, l.pieces, holds, l.begins)) return false;
      size_t i = holds.size();
      while (i > 0 && holds[i - 1]) --i;
      l.start = p;
      l.keep_from = i;
      l.decided = i > 0 || origins.back().container <= options.window_first;
      return true;
    };
    for (size_t k = lead.size(); k-- > 0 && !best.decided;) {
      Job& j = *lead[k];
      origins.push_back(origin_of(j));
      if (!known_method(j.method)) {
        data.emplace_back();  // skipped, as the whole read skips it
      } else {
        j.scan_ahead_with = nullptr;
        j.copies = nullptr;
        j.run(false);
        if (j.error || !j.result.ok()) {
          best.decided = true;  // nothing older can be walked into: stop here
          break;
        }
        data.push_back(std::move(j.out));
      }
      Lead l;
      join_lead(data, origins, l.region, l.pieces);
      const size_t first_len = data.back().size() ? data.back().size() - HEADROOM : 0;
      const StartPoint sp = start_point(l.region.data(), l.region.size(), 0, first_len);
      if (sp.pos == NO_OBJECT) {
        if (sp.undecided != NO_OBJECT && fallback.start == NO_OBJECT && evaluate(l, sp.undecided))
          fallback = std::move(l);
        continue;
      }
      if (!evaluate(l, sp.pos)) break;
      best = std::move(l);
    }
    if (best.start == NO_OBJECT) best = std::move(fallback);
    if (best.start == NO_OBJECT) {
      ordered->resync();
      return;
    }
    if (!best.decided) window_unsure = true;
    if (best.keep_from < best.pieces.size()) {
      ScanResult r = ordered->lead_in_at(best.region.data(), best.region.size(),
                                         best.begins[best.keep_from], best.pieces, &output);
      report_versions(r);
      if (r.status == ScanStatus::Done) counted(r);
    } else {
      ordered->lead_in_at(best.region.data(), best.region.size(), best.start, best.pieces, nullptr);
    }
  }

  // Walks `region` from `p` piece by piece: whether the objects that begin in
  // each piece hold a frame kept (the object cut at the region's end by its
  // time; when its headers are cut, as if it did), and where the walk stands
  // as each piece begins. False on a fault.
  bool lead_holds(const ByteBuffer& region, size_t p, const std::vector<TailPiece>& pieces,
                  std::vector<char>& holds, std::vector<size_t>& at) {
    const uint8_t* d = region.data();
    const size_t len = region.size();
    size_t pos = p;
    for (size_t i = 0; i < pieces.size(); ++i) {
      const size_t end = i + 1 < pieces.size() ? pieces[i + 1].pos : len;
      at.push_back(pos);
      bool h = false;
      if (pos < end) {
        lead_frames.clear();
        ScanResult r = scanner->scan(d + pos, len - pos, lead_frames, end - pos);
        if (r.status != ScanStatus::Done) return false;
        for (size_t t = 0; t < lead_frames.record_count && !h; ++t)
          h = kept(lead_frames.records[t].timestamp);
        pos += r.consumed;
      }
      holds.push_back(h);
    }
    lead_frames.clear();
    size_t cut = cut_object_start(d + pos, len - pos);
    if (cut != NO_OBJECT && !pieces.empty()) {
      cut += pos;
      size_t i = pieces.size() - 1;
      while (i > 0 && pieces[i].pos > cut) --i;
      const size_t have = len - cut;
      bool h = true;  // its headers cut: as if it held one
      if (have >= sizeof(ObjHeaderBase_t)) {
        const uint32_t headers = header_bytes(load<ObjHeaderBase_t>(d + cut).header_version);
        if (!headers)
          h = false;  // skipped whole: no frame
        else if (have >= headers)
          h = kept(scanner->timestamp_of(d + cut));
      }
      if (h) holds[i] = 1;
    }
    for (size_t i = 0; i < pieces.size(); ++i)
      if (pieces[i].origin.container < options.window_first) holds[i] = 0;
    return true;
  }

  // A container after the wanted range: only the object begun before it
  // and cut at its end is taken from it (for a window's guessed range, see
  // read_past).
  void complete_range(std::unique_ptr<Job> job) {
    finish_all();
    const bool judging = options.window_guess && !window_done && job->index < options.window_end;
    if (!ordered->cut_object()) {
      if (judging && ordered->plain() && (first_past || past_holds)) {
        // Read this container as one of the range.
        first_past = false;
        options.end_container = job->index + 1;
        if (!lead_in_done) lead_into_range();
        const size_t before = output.record_count;
        submit(std::move(job));
        finish_all();
        past_holds = holds_kept(before);
        return;
      }
      if (judging) window_done = true;
      if (!follow_unwanted(*job)) ended = range_done = true;
      recycle(std::move(job));
      return;
    }
    Job& j = *job;
    if (!known_method(j.method)) {
      Notice n{NoticeKind::UnknownCompression};
      n.value = j.method;
      notices.notice(n);
      if (j.truncated) end_truncated(j.object_pos, j.object_size, j.stored.size());
      recycle(std::move(job));
      return;
    }
    j.scan_ahead_with = nullptr;
    j.copies = nullptr;
    j.run(false);
    if (j.error) std::rethrow_exception(j.error);
    if (!j.result.ok()) {
      if (!options.skip_damaged) fail(zlib_error(j.result.message));
      skip_container(j, zlib_error(j.result.message));
      ended = range_done = window_done = true;
      recycle(std::move(job));
      return;
    }
    bool more = false;
    const SinkMark before = mark_sink(output);
    ScanResult r = ordered->finish_cut_object(j.out.data() + HEADROOM, j.out.size() - HEADROOM,
                                              output, more, origin_of(j));
    report_versions(r);
    if (r.status != ScanStatus::Done) {
      if (!options.skip_damaged) fail(scan_error(r, j.object_pos));
      rollback_sink(output, before);
      skip_container(j, scan_error(r, j.object_pos));
      more = false;
      window_done = true;
    } else if (!more && judging) {
      more = read_past(j, r, before);
    } else {
      counted(r);
    }
    if (!more) ended = range_done = true;
    if (j.truncated) end_truncated(j.object_pos, j.object_size, j.stored.size());
    recycle(std::move(job));
  }

  // Past a window's guessed range, once the object cut at the end of the
  // last container read has been finished from `j` (`r`; the output held
  // `before`): `j`'s own objects are read as well when
  // `j` is the first container past the range or the last one read held a
  // frame kept, and the read goes on (true) while they hold one too.
  bool read_past(Job& j, const ScanResult& r, const SinkMark& before) {
    const bool holds = past_holds || holds_kept(before.records);
    if (!(first_past || holds) || !ordered->plain()) {
      counted(r);
      window_done = true;
      return false;
    }
    first_past = false;
    const size_t mark = output.record_count;
    ScanResult t = ordered->feed_tail(output);
    report_versions(t);
    if (t.status != ScanStatus::Done) {
      if (!options.skip_damaged) fail(scan_error(t, j.object_pos));
      // As a whole read: none of the frames scanned with this container.
      rollback_sink(output, before);
      skip_container(j, scan_error(t, j.object_pos));
      window_done = true;
      return false;
    }
    counted(r);
    counted(t);
    past_holds = holds_kept(mark);
    if (!past_holds) {
      int64_t ts = 0;
      const int cut = ordered->carried_time(ts);
      if (cut == 0 || (cut == 1 && !kept(ts))) {
        window_done = true;
        return false;
      }
    }
    options.end_container = j.index + 1;
    return true;
  }

  // Salvage in a range: an object begun before the range and still
  // unfinished at its end may have swallowed the range's objects (a whole
  // read would drop it and walk them again); the containers after the range
  // are followed until it finishes, or to the end of the log, where
  // finish_tail() walks the range's containers again. True while following.
  bool follow_unwanted(Job& j) {
    CarriedObject c;
    if (!options.skip_damaged || !ordered->carried_object(c) || !c.unwanted) return false;
    if (!known_method(j.method)) return false;  // cut: the whole read resumes past the range
    j.scan_ahead_with = nullptr;
    j.copies = nullptr;
    j.run(false);
    if (j.error) std::rethrow_exception(j.error);
    if (!j.result.ok()) return false;
    const bool more =
        ordered->follow_unwanted(j.out.data() + HEADROOM, j.out.size() - HEADROOM, origin_of(j));
    if (more && j.truncated) end_truncated(j.object_pos, j.object_size, j.stored.size());
    return more;
  }

  void finish_all() {
    while (!pending.empty()) finish_oldest();
  }

  // Takes the oldest container's data and scans it after the carried tail.
  void finish_oldest() {
    try {
      finish_oldest_steps();
    } catch (...) {
      container_failed = true;
      throw;
    }
  }

  void finish_oldest_steps() {
    std::unique_ptr<Job> job = std::move(pending.front());
    pending.pop_front();
    if (jobs) jobs->complete(*job);
    // If anything below throws, the job is freed while its frames may still
    // be queued for copying; finish that copy first.
    struct CopyGuard {
      CopyQueue& queue;
      AheadSlot* slot;
      ~CopyGuard() {
        if (slot && slot->copying.load()) queue.finish(slot->copying);
      }
    } guard{copies, job->ahead.get()};
    if (!known_method(job->method)) {
      Notice n{NoticeKind::UnknownCompression};
      n.value = job->method;
      notices.notice(n);
      // Salvage: whatever follows may begin inside an object of this
      // container, and the object cut into it cannot be finished.
      if (options.skip_damaged) {
        drop_cut_object(job->object_pos + job->object_size, job->index + 1);
        ordered->resync();
      }
    } else {
      if (job->error) std::rethrow_exception(job->error);
      if (!job->result.ok()) {
        if (!options.skip_damaged) fail(zlib_error(job->result.message));
        skip_container(*job, zlib_error(job->result.message));
      } else {
        scan(*job);
      }
    }
    if (job->truncated)
      report_truncated(job->object_pos, job->object_size,
                       sizeof(ObjHeaderBase_t) + job->stored.size());
    guard.slot = nullptr;  // the spare keeps it until its copy is done
    recycle(std::move(job));
  }

  // Frames of `r` handed out.
  void counted(const ScanResult& r) { wide.merge(r.wide); }

  bool kept(int64_t t) const { return t >= options.keep_start && t < options.keep_stop; }

  // Whether the output's records from `from` on hold a frame kept.
  bool holds_kept(size_t from) {
    output.wait_copies();
    for (size_t i = from; i < output.record_count; ++i)
      if (kept(output.records[i].timestamp)) return true;
    return false;
  }

  void report_wide() {
    if (wide_reported || !options.report_wide || !wide.frames) return;
    wide_reported = true;
    Notice n{NoticeKind::WideChannels};
    n.wide = wide;
    notices.notice(n);
  }

  void report_versions(const ScanResult& r) {
    for (uint16_t v : r.unknown_versions) {
      Notice n{NoticeKind::UnknownVersion};
      n.value = v;
      notices.notice(n);
    }
  }

  void scan(Job& job) {
    const SinkMark before = mark_sink(output);
    output.copy_flag = job.ahead ? &job.ahead->copying : nullptr;
    ScanResult r = ordered->feed(job.out.data() + HEADROOM, job.out.size() - HEADROOM,
                                 job.ahead ? &job.ahead->scan : nullptr, output, origin_of(job));
    output.copy_flag = nullptr;
    report_versions(r);
    if (r.status == ScanStatus::Done) {
      counted(r);
      return;
    }
    if (!options.skip_damaged) fail(scan_error(r, job.object_pos));
    // None of the container's frames: the fault may lie after damage that
    // the walk took for objects.
    output.wait_copies();
    rollback_sink(output, before);
    skip_container(job, scan_error(r, job.object_pos));
  }

  void skip_container(const Job& job, const ReadError& cause) {
    ordered->resync();
    skipped_container(origin_of(job), cause);
  }

  void skipped_container(const DataOrigin& o, const ReadError& cause) {
    Notice n{NoticeKind::Damaged};
    n.object_pos = o.container_pos;
    n.declared = o.container_pos + o.object_size;
    n.container = o.container;
    n.whole_container = true;
    n.cause = cause;
    notices.notice(n);
  }

  static DataOrigin origin_of(const Job& j) {
    return DataOrigin{j.object_pos, j.object_size, j.index};
  }

  // The carried object as the cause of a skipped region.
  static ReadError carried_error(ErrorCode code, const CarriedObject& c) {
    ReadError e = error(code, c.origin.container_pos, c.declared);
    e.inner_offset = c.data_offset;
    e.present = c.present;
    e.needed = c.header_whole;
    return e;
  }

  // With skip_damaged, an object carried into a container that is not read
  // can never be finished: it is dropped, with the region it began in.
  // `end`: where the object not read ends; `next`: the container after it.
  bool drop_cut_object(uint64_t end, size_t next) {
    CarriedObject c;
    if (!ordered->carried_object(c)) return false;
    Notice n{NoticeKind::Damaged};
    n.object_pos = c.origin.container_pos;
    n.declared = end;
    n.container = next;
    n.cause = carried_error(ErrorCode::InnerObjectCut, c);
    notices.notice(n);
    return true;
  }

  // At the end of the log: an object still carried declares more bytes than
  // the log held. With skip_damaged it is dropped and the walk goes on at the
  // first header after it, in the container it begins in, from which the walk
  // runs cleanly to that container's end; when there is none, at the first
  // clean object of the next container. Otherwise (or when nothing follows)
  // the log counts as truncated there. Then bytes kept while resyncing are
  // decided with the end of the log as their end.
  void finish_tail() {
    tail_done = true;
    drop_carried_tail();
    // Bytes kept while resyncing, for data that never came: decided now.
    const SinkMark before = mark_sink(output);
    ScanResult r = ordered->finish_resync(output);
    report_versions(r);
    if (r.status == ScanStatus::Done) {
      counted(r);
    } else {  // as a fault in the data that never came would have dropped them
      rollback_sink(output, before);
    }
  }

  // The objects still carried at the end of the log, as finish_tail says.
  void drop_carried_tail() {
    CarriedObject c;
    ByteBuffer bytes;
    std::vector<TailPiece> pieces;
    while (ordered->carried_object(c)) {
      // Where the walk goes on: the first container after the object's that
      // is wanted (a range's lead-in may have carried it in).
      const std::vector<TailPiece>& carried = ordered->pieces();
      size_t k = c.next_piece;
      while (k < carried.size() && carried[k].origin.container < options.first_container) ++k;
      const size_t wanted_at = k < carried.size() ? carried[k].pos : ordered->tail_size();
      size_t restart = NO_OBJECT;
      if (options.skip_damaged && (!c.unwanted || k < carried.size())) {
        // The tail runs to the end of the log.
        const size_t own_end =
            c.next_piece < carried.size() ? carried[c.next_piece].pos : ordered->tail_size();
        restart = ordered->restart_point(c.tail_pos + 1, own_end, own_end, true);
      }
      const bool resumable = restart != NO_OBJECT || k < carried.size();
      if (!options.skip_damaged || !resumable) {
        // An object begun before a range is reported by the range it begins in.
        if (!top_truncated && !c.unwanted) {
          Notice n{NoticeKind::Truncated};
          n.inner = true;
          n.object_pos = c.origin.container_pos;
          n.container = c.origin.container;
          n.data_offset = c.data_offset;
          n.declared = c.header_whole ? c.declared : 0;
          n.present = c.present;
          notices.notice(n);
        }
        return;
      }
      if (restart != NO_OBJECT) {
        if (!c.unwanted) {
          Notice n{NoticeKind::Damaged};
          n.inner = true;
          n.object_pos = c.origin.container_pos;
          n.declared = c.origin.container_pos + c.origin.object_size;
          n.container = c.origin.container;
          n.data_offset = c.data_offset;
          n.present = restart - c.tail_pos;
          n.cause = carried_error(ErrorCode::InnerObjectPastEnd, c);
          notices.notice(n);
        }
        const bool unwanted = c.unwanted;
        ordered->take_at(restart, bytes, pieces);
        size_t w = 0;
        if (unwanted) {
          // The objects up to the range are walked into nothing.
          const size_t upto = wanted_at - restart;
          while (w < pieces.size() && pieces[w].pos < upto) ++w;
          const std::vector<TailPiece> before(pieces.begin(),
                                              pieces.begin() + static_cast<ptrdiff_t>(w));
          ordered->lead_in_at(bytes.data(), upto, 0, before, nullptr);
        }
        if (!feed_pieces(bytes, pieces, w)) return;
        continue;
      }
      const DataOrigin resume = carried[k].origin;
      if (!c.unwanted) {
        Notice n{NoticeKind::Damaged};
        n.object_pos = c.origin.container_pos;
        n.declared = resume.container_pos;
        n.container = resume.container;
        n.cause = carried_error(ErrorCode::InnerObjectPastEnd, c);
        notices.notice(n);
      }
      // Containers past a wanted range give nothing but the cut object.
      if (resume.container >= options.end_container) {
        ordered->resync();
        return;
      }
      ordered->take_from(k, bytes, pieces);
      if (!feed_pieces(bytes, pieces, 0)) return;
    }
  }

  // Feeds the pieces of `bytes` from `from` on again, each as the container
  // data it is; false once a range is complete.
  bool feed_pieces(const ByteBuffer& bytes, const std::vector<TailPiece>& pieces, size_t from) {
    for (size_t i = from; i < pieces.size(); ++i) {
      const uint8_t* data = bytes.data() + pieces[i].pos;
      const size_t len = (i + 1 < pieces.size() ? pieces[i + 1].pos : bytes.size()) - pieces[i].pos;
      if (pieces[i].origin.container < options.end_container) {
        feed_again(data, len, pieces[i].origin);
      } else if (!complete_again(data, len, pieces[i].origin)) {
        ordered->resync();  // the range is complete
        return false;
      }
    }
    return true;
  }

  // A container's data with room in front for the carried tail.
  static ByteBuffer with_headroom(const uint8_t* data, size_t len) {
    ByteBuffer buf;
    buf.reserve_more(HEADROOM + len);
    buf.commit(HEADROOM);
    if (len) std::memcpy(buf.reserve_more(len), data, len);
    buf.commit(len);
    return buf;
  }

  // Past a range, walked again: only the object the range's last container
  // cut. True while it needs further containers.
  bool complete_again(const uint8_t* data, size_t len, const DataOrigin& origin) {
    if (!ordered->cut_object()) return false;
    ByteBuffer buf = with_headroom(data, len);
    const SinkMark before = mark_sink(output);
    bool more = false;
    ScanResult r = ordered->finish_cut_object(buf.data() + HEADROOM, len, output, more, origin);
    report_versions(r);
    if (r.status == ScanStatus::Done) {
      counted(r);
      return more;
    }
    rollback_sink(output, before);
    ordered->resync();
    skipped_container(origin, scan_error(r, origin.container_pos));
    return false;
  }

  // A container's data walked again, in order, straight into the output.
  void feed_again(const uint8_t* data, size_t len, const DataOrigin& origin) {
    ByteBuffer buf = with_headroom(data, len);
    const SinkMark before = mark_sink(output);
    ScanResult r = ordered->feed(buf.data() + HEADROOM, len, nullptr, output, origin);
    report_versions(r);
    if (r.status == ScanStatus::Done) {
      counted(r);
      return;
    }
    rollback_sink(output, before);
    ordered->resync();
    skipped_container(origin, scan_error(r, origin.container_pos));
  }

  ReadError read(FrameSink& sink, size_t until, bool& done) {
    ReadError err;
    done = false;
    if (failed) {
      done = true;
      return err;
    }
    output.attach(sink);
    try {
      if (options.start_offset > pos && container_index == 0) {
        // Containers known to lie before what is wanted are not even walked.
        if (skip(options.start_offset - pos) < options.start_offset - pos) ended = true;
        container_index = options.start_container;
      }
      read_objects(until);
      if (ended) finish_all();
      if (ended && !range_done && !tail_done) finish_tail();
      if (ended) report_wide();
    } catch (...) {
      failed = true;
      err = error_of(std::current_exception());
      // Containers read ahead of a failure in the source come first, as
      // they would without read-ahead; their own errors win. When the
      // failure is a container's own, those still pending lie after it and
      // a single-threaded read would never have reached them.
      if (!container_failed) {
        try {
          finish_all();
        } catch (...) {
          err = error_of(std::current_exception());
        }
      }
    }
    output.release();
    done = ended || failed;
    return err;
  }

  // Compressed bytes of a container read to find its first object, and
  // the most inflated from them.
  static constexpr size_t FIRST_STORED = size_t(1) << 10;
  static constexpr size_t FIRST_INFLATED = size_t(64) << 10;
  // Sources that can read again where they have been (files, memory) read
  // fewer bytes with each container's headers: about what the containers
  // so far used. Those bytes cost far more than the search (they lie in
  // memory no cache holds, a container apart). Where they fall short, the
  // container's FIRST_STORED bytes are read anew, so the answer does not
  // change.
  static constexpr size_t FIRST_STORED_LEAST = 256;
  size_t first_stored = FIRST_STORED;
  size_t first_used = 0;  // the most bytes a container's search has used

  // Where the first object of a container begins, from `stored` bytes of
  // its data (`whole`: all of it); `used` grows to the bytes read. True
  // when the answer came where those bytes ran out: more of them could
  // change it.
  bool find_first(ContainerEntry& e, const uint8_t* stored, size_t n, bool whole,
                  PrefixInflater& inflater, ByteBuffer& data, size_t& used) {
    e.first = FirstObject::Unknown;
    if (!known_method(e.method)) {
      e.first = FirstObject::None;  // the read skips it
      return false;
    }
    const bool deflated = e.method == ZLIB_DEFLATE;
    const uint8_t* d = stored;
    size_t len = n;
    bool ended = true, failed = false, ran_out = !deflated;
    if (deflated) {
      data.clear();
      inflater.begin(stored, n);
      ended = false;
    }
    for (size_t step = 256;; step *= 2) {
      if (deflated) {
        inflater.next(data, std::min(step, FIRST_INFLATED - data.size()), ended, failed);
        used = std::max(used, inflater.used());
        if (failed) return false;
        ran_out = ended;
        d = data.data();
        len = data.size();
        if (len >= FIRST_INFLATED) ended = true;
      } else {
        used = std::max(used, n);
      }
      const bool all = ended && whole && len < FIRST_INFLATED;
      bool undecided = false;
      const size_t p = first_object(d, len, all, &undecided);
      if (p != NO_OBJECT) {  // its first object is whole: so are its headers
        auto h = load<ObjHeaderV1_t>(d + p + sizeof(ObjHeaderBase_t));
        e.first = FirstObject::Found;
        e.first_timestamp =
            record_timestamp(h.timestamp, h.flags, start_timestamp, exact_timestamps);
        return ran_out;
      }
      if (ended) {
        if (all && !undecided) e.first = FirstObject::None;
        return ran_out;
      }
    }
  }

  // A container's first object from the bytes read with its headers
  // (`cut_short`: fewer than FIRST_STORED would have held), read again in
  // full where the search needed more of them.
  void find_first_of(ContainerEntry& e, const uint8_t* stored, size_t n, bool whole, bool cut_short,
                     PrefixInflater& inflater, ByteBuffer& data, std::vector<uint8_t>& again,
                     size_t& used) {
    if (!find_first(e, stored, n, whole, inflater, data, used) || !cut_short) return;
    const size_t rest = e.object_size - sizeof(ObjHeaderBase_t) - sizeof(LogContainer_t);
    again.resize(std::min(FIRST_STORED, rest));
    size_t got = 0;
    source.read_at(e.offset + sizeof(ObjHeaderBase_t) + sizeof(LogContainer_t), again.data(),
                   again.size(), got);
    find_first(e, again.data(), got, got == rest, inflater, data, used);
  }

  // Containers whose first object is looked for off the walk, a batch at a
  // time: the bytes read from the start of each, and what was found there.
  struct FirstJob {
    ContainerEntry entry;  // method in; first and first_timestamp out
    size_t index;          // in the container table
    size_t at, n;          // its bytes in the batch's `bytes`
    bool whole;
    bool cut_short;
    size_t used;
  };
  // Batches start small, so that the pool starts soon, and grow: each hand
  // over (a wait, then a worker woken) costs about what a few containers'
  // searches do.
  static constexpr size_t FIRST_BATCH = 128;
  static constexpr size_t FIRST_BATCH_MOST = 2048;

  // The batch in flight is searched by a pool worker, helped by the walking
  // thread once it has read the next batch: jobs go to whichever is free.
  struct FirstBatches {
    std::vector<FirstJob> filling, flying;
    ByteBuffer filling_bytes, flying_bytes;  // the bytes read of each job's container
    size_t filled = 0, flown = 0;            // jobs in use (the vectors keep their room)
    size_t size = FIRST_BATCH;               // jobs in the next batch
    std::atomic<size_t> claimed{0};
    std::future<void> pool_part;
    // Whatever leaves list_containers, the pool's part is finished first.
    ~FirstBatches() {
      if (pool_part.valid()) pool_part.wait();
    }
  };

  // The first-object scratch of one thread.
  struct FirstScratch {
    PrefixInflater inflater;
    ByteBuffer data;
    std::vector<uint8_t> again;
  };

  void work(FirstBatches& b, FirstScratch& w) {
    for (size_t i; (i = b.claimed.fetch_add(1, std::memory_order_relaxed)) < b.flown;) {
      FirstJob& j = b.flying[i];
      j.used = 0;
      find_first_of(j.entry, b.flying_bytes.data() + j.at, j.n, j.whole, j.cut_short, w.inflater,
                    w.data, w.again, j.used);
    }
  }

  // The bytes read with the next containers' headers, from what the
  // searches so far used, with a margin.
  void learn(size_t used) {
    first_used = std::max(first_used, used);
    if (!go_back) return;
    const size_t want = (first_used + first_used / 4 + 32 + 63) & ~size_t(63);
    first_stored = std::clamp(want, FIRST_STORED_LEAST, FIRST_STORED);
  }
  bool go_back = false;  // the source reads again where it has been

  // Finishes the batch in flight and puts its findings in the table.
  void settle(std::vector<ContainerEntry>& out, FirstBatches& b, FirstScratch& w) {
    work(b, w);
    if (b.pool_part.valid()) b.pool_part.get();
    for (size_t i = 0; i < b.flown; ++i) {
      out[b.flying[i].index] = b.flying[i].entry;
      learn(b.flying[i].used);
    }
    b.flown = 0;
  }

  void launch(std::vector<ContainerEntry>& out, FirstBatches& b, FirstScratch& w) {
    settle(out, b, w);
    b.flying.swap(b.filling);
    std::swap(b.flying_bytes, b.filling_bytes);
    b.filling_bytes.clear();
    b.flown = b.filled;
    b.filled = 0;
    b.claimed.store(0, std::memory_order_relaxed);
    b.pool_part = shared_pool(options.threads - 1).submit([this, &b] {
      FirstScratch own;
      work(b, own);
    });
  }

  ReadError list_containers(std::vector<ContainerEntry>& out, bool times) {
    ReadError err;
    try {
      ByteBuffer head;
      FirstScratch mine;
      FirstBatches batches;
      size_t none = 0;
      go_back = times && source.read_at(0, nullptr, 0, none);
      for (;;) {
        // One read per container: its headers (after the padding before
        // them) and, for first times, the start of its data.
        const size_t first = times ? first_stored : 0;
        read_ahead(MAX_ZERO_PADDING + sizeof(ObjHeaderBase_t) + sizeof(LogContainer_t) + first);
        ObjHeaderBase_t base;
        uint64_t object_pos;
        if (!next_header(base, object_pos)) break;
        const size_t rest = base.object_size - sizeof(ObjHeaderBase_t);
        const bool container = base.object_type == LOG_CONTAINER;
        const size_t want = container ? sizeof(LogContainer_t) + first : 0;
        const size_t present = read_body(base, head, want);
        if (container) {
          check_container(base, object_pos, head.size(), present < rest);
          if (head.size() >= sizeof(LogContainer_t)) {
            auto c = load<LogContainer_t>(head.data());
            ContainerEntry e{object_pos, base.object_size, c.uncompressed_size,
                             c.compression_method};
            const uint8_t* stored = head.data() + sizeof(LogContainer_t);
            const size_t n = head.size() - sizeof(LogContainer_t);
            const bool whole = head.size() == rest;
            const bool cut_short = first < FIRST_STORED && head.size() == want && !whole;
            if (times && options.threads > 1) {
              if (batches.filling.size() == batches.filled) batches.filling.emplace_back();
              FirstJob& j = batches.filling[batches.filled++];
              j.entry = e;
              j.index = out.size();
              j.at = batches.filling_bytes.size();
              j.n = n;
              if (n) std::memcpy(batches.filling_bytes.reserve_more(n), stored, n);
              batches.filling_bytes.commit(n);
              j.whole = whole;
              j.cut_short = cut_short;
            } else if (times) {
              size_t used = 0;
              find_first_of(e, stored, n, whole, cut_short, mine.inflater, mine.data, mine.again,
                            used);
              learn(used);
            }
            out.push_back(e);
            if (batches.filled >= batches.size) {
              launch(out, batches, mine);
              batches.size = std::min(2 * batches.size, FIRST_BATCH_MOST);
            }
          }
        }
        if (present < rest) {
          report_truncated(object_pos, base.object_size, sizeof(ObjHeaderBase_t) + present);
          break;
        }
      }
      if (batches.filled) launch(out, batches, mine);
      settle(out, batches, mine);
    } catch (...) {
      err = error_of(std::current_exception());
    }
    return err;
  }
};
bool window_containers(const std::vector<ContainerEntry>& entries, int64_t start, int64_t stop,
                       size_t& first, size_t& end) {
  const size_t n = entries.size();
  int64_t last = INT64_MIN;
  for (const ContainerEntry& e : entries) {
    if (e.first != FirstObject::Found) continue;
    if (e.first_timestamp < last) return false;
    last = e.first_timestamp;
  }
  // Objects that begin in container j are timed no later than the first
  // object found after it, and no earlier than the last found up to it.
  std::vector<int64_t> upper(n);
  int64_t next = INT64_MAX;
  for (size_t j = n; j-- > 0;) {
    upper[j] = next;
    if (entries[j].first == FirstObject::Found) next = entries[j].first_timestamp;
  }
  first = end = n;
  for (size_t j = 0; j < n; ++j)
    if (upper[j] >= start) {
      first = j;
      break;
    }
  int64_t lower = INT64_MIN;
  for (size_t j = 0; j < n; ++j) {
    if (entries[j].first == FirstObject::Found) lower = entries[j].first_timestamp;
    if (j >= first && lower >= stop) {
      end = j;
      break;
    }
  }
  return true;
}

LogReader::LogReader(ByteSource& source, NoticeSink& notices, const ReaderOptions& options)
    : impl_(std::make_unique<Impl>(source, notices, options)) {}

LogReader::~LogReader() = default;

uint64_t LogReader::position() const { return impl_->pos; }

size_t LogReader::containers_seen() const { return impl_->container_index; }

bool LogReader::window_unsure() const { return impl_->window_unsure; }

const WideChannels& LogReader::wide_channels() const { return impl_->wide; }

ReadError LogReader::read_header(FileHeader_t& header) {
  ReadError err;
  try {
    ByteBuffer head;
    const size_t got = impl_->take(head, sizeof(FileHeader_t));
    if (got < 4 || load<uint32_t>(head.data()) != FILE_SIGNATURE) fail(ErrorCode::NotBlf);
    ReadError cut = error(ErrorCode::HeaderTruncated);
    if (got < sizeof(FileHeader_t)) {
      cut.present = got;
      cut.needed = sizeof(FileHeader_t);
      fail(cut);
    }
    header = load<FileHeader_t>(head.data());
    if (header.header_size < sizeof(FileHeader_t))
      fail(ErrorCode::HeaderSizeTooSmall, 0, header.header_size);
    const size_t reserved = header.header_size - sizeof(FileHeader_t);
    const size_t present = impl_->skip(reserved);
    if (present < reserved) {
      cut.present = sizeof(FileHeader_t) + present;
      cut.needed = header.header_size;
      fail(cut);
    }
  } catch (...) {
    impl_->failed = true;
    err = error_of(std::current_exception());
  }
  return err;
}

void LogReader::start(int64_t start_timestamp, bool exact) {
  impl_->start_timestamp = start_timestamp;
  impl_->exact_timestamps = exact;
  const ReaderOptions& o = impl_->options;
  impl_->scanner =
      std::make_unique<InnerScanner>(start_timestamp, exact, o.all_errors, o.frames, o.objects);
  impl_->scanner->count_window(o.keep_start, o.keep_stop);
  impl_->ordered = std::make_unique<OrderedScan>(*impl_->scanner);
}

ReadError LogReader::read(FrameSink& sink, size_t until, bool& done) {
  return impl_->read(sink, until, done);
}

ReadError LogReader::list_containers(std::vector<ContainerEntry>& out, bool times) {
  return impl_->list_containers(out, times);
}

}  // namespace korvel
