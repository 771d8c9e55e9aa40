// The whole reader over an in-memory log. Two kinds of input:
//  - raw bytes: one thread, several threads with every container scanned
//    ahead, and reads in pieces must end alike (frames, notices, error);
//  - a log built from the input (frames of every kind, objects padded as
//    various writers pad them, containers cut anywhere, stored or deflated,
//    times in order or a little out of it): it must read back whole, alike
//    with threads and in pieces; any partition of its containers into ranges
//    must give the whole read; a time window must give the whole read masked
//    wherever the window rule reaches every container holding its frames;
//    and a read past damage must never give a frame the log does not hold.
// The objects of other buses and the events (buses/) go along: each parser
// over the raw bytes as an object body of its type (payloads within the
// sink's bytes, nothing read past the body), and the raw log read into a
// BusSink on one thread and on several, which must agree.
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "blf/encoder.hpp"
#include "blf/reader.hpp"
#include "blf/stitch.hpp"
#include "buses/sink.hpp"
#include "common.hpp"
#include "frames.hpp"

namespace {

using namespace korvel;

// A source read front to back only, as a stream is.
class StreamOnly : public ByteSource {
 public:
  explicit StreamOnly(ByteSource& inner) : inner_(inner) {}
  size_t read(uint8_t* dst, size_t n) override { return inner_.read(dst, n); }
  size_t skip(size_t n) override { return inner_.skip(n); }

 private:
  ByteSource& inner_;
};

struct Notices : NoticeSink {
  std::vector<std::string> lines;
  void notice(const Notice& n) override {
    lines.push_back(std::to_string(static_cast<int>(n.kind)) + " " + std::to_string(n.object_pos) +
                    " " + std::to_string(n.declared) + " " + std::to_string(n.present) + " " +
                    std::to_string(n.value));
  }
};

struct Outcome {
  fuzz::ExactSink sink;
  Notices notices;
  ReadError error;
  size_t containers = 0;
};

void read_log(const std::vector<uint8_t>& log, const ReaderOptions& o, size_t piece, Outcome& out) {
  MemorySource src(log.data(), log.size());
  LogReader reader(src, out.notices, o);
  blf::FileHeader_t header;
  out.error = reader.read_header(header);
  if (out.error) return;
  reader.start(0);
  for (bool done = false; !done;) {
    const size_t until = piece ? out.sink.record_count + piece : SIZE_MAX;
    out.error = reader.read(out.sink, until, done);
    FUZZ_CHECK(done || out.sink.record_count >= until);
  }
  out.containers = reader.containers_seen();
}

void check_same(const Outcome& a, const Outcome& b) {
  FUZZ_CHECK(a.error == b.error);
  FUZZ_CHECK(a.notices.lines == b.notices.lines);
  fuzz::check_same_frames(a.sink, b.sink);
  fuzz::check_sink(b.sink);
}

size_t list(const std::vector<uint8_t>& log) {
  MemorySource src(log.data(), log.size());
  Notices notices;
  LogReader reader(src, notices, ReaderOptions{});
  blf::FileHeader_t header;
  if (reader.read_header(header)) return 0;
  std::vector<ContainerEntry> entries;
  if (reader.list_containers(entries)) return 0;
  size_t last = 0;
  for (const ContainerEntry& e : entries) {
    FUZZ_CHECK(e.offset >= last && e.offset < log.size());
    last = e.offset + 16;
  }
  return entries.size();
}

void put(std::vector<uint8_t>& v, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  v.insert(v.end(), b, b + n);
}

// A log built from the input; false when the input describes none.
struct Built {
  std::vector<uint8_t> log;
  size_t frames = 0;
  size_t containers = 0;
  bool clean = true;  // "LOBJ" appears only where objects begin
  // Inner offsets: where objects begin and end, where containers begin.
  std::vector<size_t> starts, ends, bounds;
  // Each container in the log: its offset, stored bytes, whether deflated.
  std::vector<size_t> offsets, stored;
  std::vector<bool> deflated;
  // What the log was made of, to make it again with other inner bytes.
  std::vector<uint8_t> inner;
  bool top_align8 = false;
};

// The file: header and containers of b.inner cut at b.bounds.
void assemble(Built& b, const std::vector<uint8_t>& inner) {
  b.log.clear();
  b.offsets.clear();
  b.stored.clear();
  blf::FileHeader_t h{};
  std::memcpy(h.signature, "LOGG", 4);
  h.header_size = blf::FILE_HEADER_SIZE;
  h.object_count = static_cast<uint32_t>(b.frames);
  put(b.log, &h, sizeof h);
  b.log.resize(blf::FILE_HEADER_SIZE);
  for (size_t k = 0; k < b.bounds.size(); ++k) {
    const size_t pos = b.bounds[k];
    const size_t take = (k + 1 < b.bounds.size() ? b.bounds[k + 1] : inner.size()) - pos;
    const bool deflate = b.deflated[k];
    std::vector<uint8_t> stored(deflate ? compressBound(take) : take);
    uLongf zlen = stored.size();
    if (deflate)
      compress2(stored.data(), &zlen, inner.data() + pos, take, Z_DEFAULT_COMPRESSION);
    else
      std::memcpy(stored.data(), inner.data() + pos, take);
    stored.resize(zlen);
    uint8_t base[16], cont[16];
    enc::container_headers(base, cont, stored.size(), static_cast<uint32_t>(take));
    if (!deflate) blf::store<uint16_t>(cont, blf::NO_COMPRESSION);
    if (b.top_align8)
      while (b.log.size() % 8) b.log.push_back(0);
    b.offsets.push_back(b.log.size());
    b.stored.push_back(stored.size());
    put(b.log, base, 16);
    put(b.log, cont, 16);
    put(b.log, stored.data(), stored.size());
    if (!b.top_align8) b.log.resize(b.log.size() + enc::top_level_padding(32 + stored.size()));
  }
}

void build(fuzz::Input& in, Built& b) {
  const uint8_t style = in.take<uint8_t>();
  // Times out of order by up to about two frames (a logger writing the
  // buffers of several channels).
  const bool jitter = style & 8;
  const size_t inner_align = (style & 3) == 0 ? 1 : (style & 3) == 1 ? 4 : 8;
  const bool top_align8 = style & 4;
  const uint8_t methods = in.take<uint8_t>();
  std::vector<uint8_t> inner;
  std::vector<size_t> starts;
  const size_t n = 1 + in.take<uint8_t>() % 64;
  for (size_t i = 0; i < n && in.left(); ++i) {
    const uint8_t kind = in.take<uint8_t>();
    const uint32_t id = in.take<uint16_t>() | ((kind & 8) ? 0x1A000000u : 0);
    const uint8_t len = in.take<uint8_t>() % 65;
    uint8_t data[64];
    for (uint8_t& d : data) d = in.take<uint8_t>();
    while (inner.size() % inner_align) inner.push_back(0);
    starts.push_back(inner.size());
    const uint64_t time = i * 1000 + (jitter ? data[0] * 8u : 0u);
    if ((kind & 3) == 3) {
      // CAN FD 64 with an odd size.
      const uint8_t valid = len;
      const uint32_t size = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanFdMsg64_t) + valid;
      blf::ObjHeaderBase_t base{{'L', 'O', 'B', 'J'}, 32, 1, size, blf::CAN_FD_MESSAGE_64};
      blf::ObjHeaderV1_t ext{2, 0, 0, time};
      blf::CanFdMsg64_t m{};
      m.channel = 1;
      m.dlc = canfd_len_to_dlc(valid);
      m.valid_bytes = valid;
      m.can_id = id;
      m.flags = blf::FD64_FLAG_EDL;
      put(inner, &base, sizeof base);
      put(inner, &ext, sizeof ext);
      put(inner, &m, sizeof m);
      put(inner, data, valid);
    } else {
      const uint8_t flags = (kind & 3) == 1 ? FLAG_FD : (kind & 3) == 2 ? FLAG_ERROR : 0;
      enc::FrameIn f{static_cast<int64_t>(time),
                     id,
                     1,
                     flags == FLAG_FD ? len : uint8_t(len % 9),
                     flags,
                     data,
                     sizeof data};
      uint8_t obj[enc::MAX_OBJ_SIZE];
      put(inner, obj, enc::encode_object(obj, f, 0));
    }
    b.ends.push_back(inner.size());
    ++b.frames;
  }
  b.starts = starts;
  // "LOBJ" inside a payload or a timestamp could pass for an object.
  for (size_t p = 0, s = 0; p + 4 <= inner.size(); ++p) {
    while (s < starts.size() && starts[s] < p) ++s;
    if (is_lobj(inner.data() + p) && !(s < starts.size() && starts[s] == p)) b.clean = false;
  }

  size_t pos = 0;
  for (size_t k = 0; pos < inner.size(); ++k) {
    // Containers of at least 64 bytes: a range finds its first object by
    // walking the 64 containers before it.
    const size_t take = std::min<size_t>(inner.size() - pos, 64 + in.take<uint16_t>() % 700);
    b.bounds.push_back(pos);
    b.deflated.push_back((methods >> (k % 8)) & 1);
    pos += take;
    ++b.containers;
  }
  b.top_align8 = top_align8;
  b.inner = std::move(inner);
  assemble(b, b.inner);
}

// One record and its payload bytes are alike.
bool same_frame(const FrameSink& a, size_t i, const FrameSink& b, size_t j) {
  DT_t x = a.records[i], y = b.records[j];
  if (loc_count(x.loc) != loc_count(y.loc)) return false;
  // memcmp takes no null pointer, even for no bytes.
  const bool bytes =
      loc_count(x.loc) == 0 || std::memcmp(a.payload + loc_offset(x.loc),
                                           b.payload + loc_offset(y.loc), loc_count(x.loc)) == 0;
  x.loc = y.loc = 0;
  return bytes && std::memcmp(&x, &y, sizeof x) == 0;
}

// A deflated container damaged: read past it, every frame of the objects
// that neither begin in it nor are cut into it comes out as in the whole
// read, and nothing else.
void check_skipping(const Built& b, const Outcome& whole, fuzz::Input& in,
                    const ReaderOptions& threaded) {
  std::vector<size_t> victims;
  for (size_t k = 0; k < b.containers; ++k)
    if (b.deflated[k]) victims.push_back(k);
  if (victims.empty()) return;
  const size_t k = victims[in.take<uint8_t>() % victims.size()];
  std::vector<uint8_t> log = b.log;
  log[b.offsets[k] + 32 + in.take<uint16_t>() % b.stored[k]] ^= 1 | in.take<uint8_t>();
  ReaderOptions o = (in.take<uint8_t>() & 1) ? threaded : ReaderOptions{};
  o.skip_damaged = true;
  Outcome got;
  read_log(log, o, 0, got);
  FUZZ_CHECK(!got.error);
  fuzz::check_sink(got.sink);
  if (got.notices.lines.empty()) {  // damage that changes nothing (unused bits)
    fuzz::check_same_frames(whole.sink, got.sink);
    return;
  }
  FUZZ_CHECK(got.notices.lines.size() == 1);
  const size_t lo = b.bounds[k], hi = k + 1 < b.containers ? b.bounds[k + 1] : SIZE_MAX;
  size_t j = 0;
  for (size_t i = 0; i < b.frames; ++i) {
    const bool lost =
        (b.starts[i] >= lo && b.starts[i] < hi) || (b.starts[i] < lo && b.ends[i] > lo);
    if (lost) continue;
    FUZZ_CHECK(j < got.sink.record_count);
    FUZZ_CHECK(same_frame(whole.sink, i, got.sink, j));
    ++j;
  }
  FUZZ_CHECK(j == got.sink.record_count);
}

// The ranges of a partition of the log's containers (read with `o`), joined,
// give `whole`.
void check_partition(const std::vector<uint8_t>& log, size_t containers, const ReaderOptions& o,
                     const FrameSink& whole, fuzz::Input& in) {
  fuzz::ExactSink joined;
  for (size_t a = 0; a < containers;) {
    const size_t end = std::min(containers, a + 1 + in.take<uint8_t>() % 4);
    ReaderOptions r = o;
    r.first_container = a;
    r.end_container = end;
    Outcome part;
    read_log(log, r, 0, part);
    FUZZ_CHECK(!part.error);
    append_frames(part.sink, joined);
    a = end;
  }
  fuzz::check_same_frames(whole, joined);
}

// One inner object's object_size damaged so that it reaches past the end of
// the log: read as is, the frames before it come out and the log counts as
// truncated there; read with skip_damaged, the walk goes on at the object
// after it (in its own container, or at the first object of the next one), so
// every other frame comes out as in the whole read.
void check_carried_damage(const Built& b, const Outcome& whole, fuzz::Input& in) {
  if (b.frames == 0) return;
  const size_t d = in.take<uint8_t>() % b.frames;
  std::vector<uint8_t> inner = b.inner;
  const size_t at = b.starts[d] + offsetof(blf::ObjHeaderBase_t, object_size);
  blf::store<uint32_t>(inner.data() + at, blf::load<uint32_t>(inner.data() + at) | 0x10000000u);
  Built damaged = b;
  assemble(damaged, inner);
  size_t c = 0;
  while (c + 1 < b.containers && b.bounds[c + 1] <= b.starts[d]) ++c;
  const size_t resume = c + 1 < b.containers ? b.bounds[c + 1] : SIZE_MAX;
  for (const bool skip : {false, true}) {
    ReaderOptions o;
    o.skip_damaged = skip;
    Outcome got;
    read_log(damaged.log, o, 0, got);
    FUZZ_CHECK(!got.error);
    fuzz::check_sink(got.sink);
    FUZZ_CHECK(got.notices.lines.size() == 1);
    const bool salvaged = skip && (resume != SIZE_MAX || d + 1 < b.frames);
    const NoticeKind kind = salvaged ? NoticeKind::Damaged : NoticeKind::Truncated;
    FUZZ_CHECK(got.notices.lines[0].rfind(std::to_string(static_cast<int>(kind)) + " ", 0) == 0);
    size_t j = 0;
    for (size_t i = 0; i < b.frames; ++i) {
      if (i == d || (i > d && !salvaged)) continue;
      FUZZ_CHECK(j < got.sink.record_count);
      FUZZ_CHECK(same_frame(whole.sink, i, got.sink, j));
      ++j;
    }
    FUZZ_CHECK(j == got.sink.record_count);
    // Ranges of a partition, joined, salvage alike.
    if (skip) check_partition(damaged.log, b.containers, o, got.sink, in);
  }
}

buses::Wanted everything() {
  buses::Wanted w;
  w.lin = w.ethernet = w.flexray = w.events = w.channels = true;
  return w;
}

template <class Record>
void check_column(const buses::RecordColumn<Record>& c) {
  for (size_t i = 0; i < c.count(); ++i) {
    const uint64_t off = loc_offset(c.data()[i].loc), k = loc_count(c.data()[i].loc);
    FUZZ_CHECK(off <= c.payload.size() && k <= c.payload.size() - off);
  }
}

void check_buses(const buses::BusSink& s) {
  check_column(s.lin);
  check_column(s.ethernet);
  check_column(s.flexray);
  for (const buses::EventRecord& e : s.events)
    for (const buses::TextRef& t : {e.text, e.first, e.second})
      FUZZ_CHECK(t.offset <= s.text.size() && t.size <= s.text.size() - t.offset);
}

template <class Record>
bool same_column(const buses::RecordColumn<Record>& a, const buses::RecordColumn<Record>& b) {
  return a.records.size() == b.records.size() && a.payload.size() == b.payload.size() &&
         (a.records.size() == 0 ||
          std::memcmp(a.records.data(), b.records.data(), a.records.size()) == 0) &&
         (a.payload.size() == 0 ||
          std::memcmp(a.payload.data(), b.payload.data(), a.payload.size()) == 0);
}

void check_same_buses(const buses::BusSink& a, const buses::BusSink& b) {
  FUZZ_CHECK(same_column(a.lin, b.lin));
  FUZZ_CHECK(same_column(a.ethernet, b.ethernet));
  FUZZ_CHECK(same_column(a.flexray, b.flexray));
  FUZZ_CHECK(a.events.size() == b.events.size() && a.text.size() == b.text.size());
  FUZZ_CHECK(a.text.size() == 0 || std::memcmp(a.text.data(), b.text.data(), a.text.size()) == 0);
  FUZZ_CHECK(a.channels.size() == b.channels.size());
  for (size_t i = 0; i < a.channels.size(); ++i)
    FUZZ_CHECK(a.channels[i].objects == b.channels[i].objects &&
               a.channels[i].channel == b.channels[i].channel);
}

// Every parser over the bytes as an object body of its type, in a buffer
// of the object's exact size (the sanitizers catch a read past it).
void parse_everything(const uint8_t* data, size_t size) {
  static const uint32_t types[] = {5,  6,  7,  8,  9,  11, 12, 14,  15,  18,  20,
                                   21, 29, 41, 50, 57, 58, 59, 60,  61,  62,  65,
                                   66, 71, 72, 91, 92, 96, 1,  101, 120, 121, 128};
  buses::BusSink sink(everything());
  const size_t body = std::min<size_t>(size, 4096);
  for (uint32_t type : types) {
    std::vector<uint8_t> obj(blf::OBJ_HEADER_V1_TOTAL + body);
    if (body) std::memcpy(obj.data() + blf::OBJ_HEADER_V1_TOTAL, data, body);
    sink.object(obj.data(), static_cast<uint32_t>(obj.size()), type, blf::OBJ_HEADER_V1_TOTAL, 0);
  }
  check_buses(sink);
}

// The raw log with its other objects: one thread and several alike; frames
// alike with and without the bus sink.
void check_buses_read(const std::vector<uint8_t>& log, const ReaderOptions& threaded,
                      const Outcome& plain) {
  buses::BusSink one_sink(everything()), many_sink(everything());
  ReaderOptions o;
  o.objects = &one_sink;
  Outcome one, many;
  read_log(log, o, 0, one);
  ReaderOptions t = threaded;
  t.objects = &many_sink;
  t.frames = false;  // the frame objects go to the channel list instead
  read_log(log, t, 0, many);
  check_same(plain, one);
  FUZZ_CHECK(one.error == many.error);
  check_buses(one_sink);
  check_buses(many_sink);
  FUZZ_CHECK(same_column(one_sink.lin, many_sink.lin));
  FUZZ_CHECK(same_column(one_sink.ethernet, many_sink.ethernet));
  FUZZ_CHECK(same_column(one_sink.flexray, many_sink.flexray));
  FUZZ_CHECK(many.sink.record_count == 0);
  buses::BusSink frames_off(everything());
  ReaderOptions f;
  f.objects = &frames_off;
  f.frames = false;
  Outcome single;
  read_log(log, f, 0, single);
  check_same_buses(frames_off, many_sink);
}

// Whether payload bytes hold "LOBJ" where no object begins, as the start of
// an object whose end meets the log's walk (a real object, or such another
// one, or the end of the data): a reading the reader cannot tell apart from
// the real one.
bool joining_lookalike(const Built& b) {
  const std::vector<uint8_t>& inner = b.inner;
  const size_t n = inner.size();
  std::vector<char> joins(n + 1, 0), real(n + 1, 0);
  for (size_t s : b.starts) real[s] = 1;
  joins[n] = 1;
  for (size_t p = n; p-- > 0;) {
    if (real[p]) {
      joins[p] = 1;
      continue;
    }
    if (p + sizeof(blf::ObjHeaderBase_t) > n || !is_lobj(inner.data() + p)) continue;
    const uint32_t size = blf::load<blf::ObjHeaderBase_t>(inner.data() + p).object_size;
    if (size < sizeof(blf::ObjHeaderBase_t) || size > n - p) continue;
    const size_t end = p + size;
    if (all_zero(inner.data() + end, n - end)) {
      joins[p] = 1;
      continue;
    }
    const size_t next = next_object(inner.data(), n, end);
    if (next != NO_OBJECT && joins[next]) joins[p] = 1;
  }
  for (size_t p = 0; p < n; ++p)
    if (joins[p] && !real[p]) return true;
  return false;
}

// A container damaged and read past: every frame that comes out is a frame
// of the log, in file order.
void check_nothing_invented(const Built& b, const Outcome& whole, fuzz::Input& in) {
  const uint8_t how = in.take<uint8_t>();
  std::vector<size_t> victims;
  for (size_t k = 0; k < b.containers; ++k)
    if (b.deflated[k]) victims.push_back(k);
  if (victims.empty() || joining_lookalike(b)) return;
  // A deflated container garbled (its checksum fails: it is left out whole).
  const size_t k = victims[how % victims.size()];
  std::vector<uint8_t> log = b.log;
  for (size_t i = how % 7; i < b.stored[k]; i += 1 + (how >> 4))
    log[b.offsets[k] + 32 + i] ^= static_cast<uint8_t>(0x5A + i);
  ReaderOptions o;
  o.skip_damaged = true;
  Outcome got;
  read_log(log, o, 0, got);
  fuzz::check_sink(got.sink);
  size_t i = 0;
  for (size_t j = 0; j < got.sink.record_count; ++j) {
    while (i < whole.sink.record_count && !same_frame(whole.sink, i, got.sink, j)) ++i;
    FUZZ_CHECK(i < whole.sink.record_count);
    ++i;
  }
}

// A time window read as the bindings read one from a path: the range that
// the containers' first times point to, taken in around by the reader. Where
// its rule (each side read on until a container holding no frame of the
// window) reaches every container holding one, the result is the whole read
// masked; elsewhere a part of it, in order.
void check_window(const Built& b, const Outcome& whole, fuzz::Input& in) {
  const size_t n = whole.sink.record_count;
  if (n == 0) return;
  const int64_t start = whole.sink.records[in.take<uint8_t>() % n].timestamp - in.take<uint8_t>();
  const int64_t stop = start + in.take<uint16_t>() % 8000;
  Notices quiet;
  std::vector<ContainerEntry> entries;
  {
    MemorySource src(b.log.data(), b.log.size());
    LogReader lister(src, quiet, ReaderOptions{});
    blf::FileHeader_t header;
    FUZZ_CHECK(!lister.read_header(header));
    lister.start(0);
    FUZZ_CHECK(!lister.list_containers(entries, true));
  }
  // The same first times from two threads, and from a source that cannot go
  // back (each container's bytes all read with its headers).
  for (const bool stream : {false, true}) {
    MemorySource mem(b.log.data(), b.log.size());
    StreamOnly only(mem);
    ReaderOptions o;
    o.threads = stream ? 1 : 2;
    LogReader lister(stream ? static_cast<ByteSource&>(only) : mem, quiet, o);
    blf::FileHeader_t header;
    FUZZ_CHECK(!lister.read_header(header));
    lister.start(0);
    std::vector<ContainerEntry> again;
    FUZZ_CHECK(!lister.list_containers(again, true));
    FUZZ_CHECK(again.size() == entries.size());
    for (size_t i = 0; i < again.size(); ++i) {
      FUZZ_CHECK(again[i].first == entries[i].first);
      FUZZ_CHECK(again[i].first != FirstObject::Found ||
                 again[i].first_timestamp == entries[i].first_timestamp);
    }
  }
  size_t first = 0, end = 0;
  const bool sure = window_containers(entries, start, stop, first, end);
  ReaderOptions o;
  o.threads = 1 + in.take<uint8_t>() % 3;
  o.keep_start = start;
  o.keep_stop = stop;
  if (sure) {
    o.window_guess = true;
    o.first_container = first;
    o.end_container = std::max(first, end);
  }
  Outcome got;
  bool unsure = false;
  {
    MemorySource src(b.log.data(), b.log.size());
    LogReader reader(src, got.notices, o);
    blf::FileHeader_t header;
    FUZZ_CHECK(!reader.read_header(header));
    reader.start(0);
    bool done = false;
    FUZZ_CHECK(!reader.read(got.sink, SIZE_MAX, done) && done);
    unsure = reader.window_unsure();
  }
  if (unsure) return;  // the bindings read the whole log then
  got.sink.record_count = keep_window(got.sink.records, 0, got.sink.record_count, got.sink.payload,
                                      got.sink.payload_size, start, stop);
  // Which containers' objects hold a frame of the window; which the rule reads.
  std::vector<char> holds(b.containers, 0);
  for (size_t i = 0; i < b.frames; ++i) {
    const int64_t t = whole.sink.records[i].timestamp;
    size_t c = 0;
    while (c + 1 < b.containers && b.bounds[c + 1] <= b.starts[i]) ++c;
    if (t >= start && t < stop) holds[c] = 1;
  }
  bool exact = true;
  if (sure) {
    std::vector<char> read(b.containers, 0);
    for (size_t c = first; c < end && c < b.containers; ++c) read[c] = 1;
    for (size_t c = first; c-- > 0;) {
      read[c] = 1;
      if (!holds[c]) break;
    }
    for (size_t c = std::max(first, end); c < b.containers; ++c) {
      read[c] = 1;
      if (!holds[c]) break;
    }
    for (size_t c = 0; c < b.containers; ++c)
      if (holds[c] && !read[c]) exact = false;
  }
  fuzz::ExactSink want;
  {
    fuzz::ExactSink all;
    append_frames(whole.sink, all);
    all.record_count =
        keep_window(all.records, 0, all.record_count, all.payload, all.payload_size, start, stop);
    append_frames(all, want);
  }
  if (exact) {
    fuzz::check_same_frames(want, got.sink);
    return;
  }
  size_t i = 0;
  for (size_t j = 0; j < got.sink.record_count; ++j) {
    while (i < want.record_count && !same_frame(want, i, got.sink, j)) ++i;
    FUZZ_CHECK(i < want.record_count);
    ++i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  ReaderOptions threaded;
  threaded.threads = 2 + mode % 3;
  threaded.always_scan_ahead = true;
  const size_t piece = 1 + in.take<uint8_t>();

  if (!(mode & 0x80)) {
    std::vector<uint8_t> log(in.rest(), in.rest() + in.left());
    Outcome one, many, pieces;
    read_log(log, ReaderOptions{}, 0, one);
    read_log(log, threaded, 0, many);
    read_log(log, threaded, piece, pieces);
    check_same(one, many);
    check_same(one, pieces);
    list(log);
    parse_everything(in.rest(), in.left());
    check_buses_read(log, threaded, one);
    ReaderOptions skip, skip_threaded = threaded;
    skip.skip_damaged = skip_threaded.skip_damaged = true;
    Outcome skip_one, skip_many;
    read_log(log, skip, 0, skip_one);
    read_log(log, skip_threaded, piece, skip_many);
    check_same(skip_one, skip_many);
    return 0;
  }

  Built b;
  build(in, b);
  Outcome whole;
  read_log(b.log, ReaderOptions{}, 0, whole);
  FUZZ_CHECK(!whole.error);
  FUZZ_CHECK(whole.notices.lines.empty());
  FUZZ_CHECK(whole.sink.record_count == b.frames);
  FUZZ_CHECK(list(b.log) == b.containers);
  Outcome many, pieces;
  read_log(b.log, threaded, 0, many);
  read_log(b.log, ReaderOptions{}, piece, pieces);
  check_same(whole, many);
  check_same(whole, pieces);
  check_nothing_invented(b, whole, in);
  if (!b.clean) return 0;
  check_skipping(b, whole, in, threaded);
  check_carried_damage(b, whole, in);

  // Ranges of a partition of the containers, joined, give the whole read.
  check_partition(b.log, b.containers, (mode & 1) ? threaded : ReaderOptions{}, whole.sink, in);
  check_window(b, whole, in);
  return 0;
}
