#include "mf4/writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "mf4/format.hpp"
#include "workpool.hpp"

namespace korvel::mf4 {

namespace {

constexpr size_t BLOCK_BYTES = size_t(1) << 20;  // records per DZ block: about 1 MiB
constexpr uint16_t CN_BUS_EVENT = 0x400;

size_t pad8(size_t n) { return (n + 7) & ~size_t(7); }

// The metadata blocks, laid out from offset 0; links are filled in once
// every block has its place.
class Meta {
 public:
  uint64_t block(const char* id, size_t links, size_t data) {
    const uint64_t at = b_.size();
    const uint64_t length = HEADER_SIZE + 8 * links + data;
    b_.resize(pad8(at + length), 0);
    b_[at] = '#';
    b_[at + 1] = '#';
    b_[at + 2] = static_cast<uint8_t>(id[0]);
    b_[at + 3] = static_cast<uint8_t>(id[1]);
    put64(at + 8, length);
    put64(at + 16, links);
    return at;
  }
  void link(uint64_t blk, size_t i, uint64_t to) { put64(blk + HEADER_SIZE + 8 * i, to); }
  uint8_t* data(uint64_t blk) {
    return b_.data() + blk + HEADER_SIZE + 8 * u64le(b_.data() + blk + 16);
  }
  uint64_t text(const char* id, const std::string& s) {
    const uint64_t at = block(id, 0, s.size() + 1);
    std::memcpy(data(at), s.data(), s.size());
    return at;
  }
  void put64(uint64_t at, uint64_t v) { std::memcpy(b_.data() + at, &v, 8); }
  std::vector<uint8_t>& bytes() { return b_; }
  uint64_t size() const { return b_.size(); }

 private:
  std::vector<uint8_t> b_;
};

enum Kind { DATA, REMOTE, ERROR, KINDS };
const char* const KIND_NAMES[KINDS] = {"CAN_DataFrame", "CAN_RemoteFrame", "CAN_ErrorFrame"};

struct FieldDef {
  const char* name;
  uint8_t data_type;
  uint32_t byte_offset;
  uint8_t bit_offset;
  uint32_t bits;  // 0: the data bytes, as wide as the group's
};

const FieldDef FIELDS[] = {
    {"BusChannel", 0, 8, 0, 8},  {"ID", 0, 9, 0, 29},  {"IDE", 0, 12, 5, 1},
    {"Dir", 0, 12, 6, 1},        {"EDL", 0, 12, 7, 1}, {"DLC", 0, 13, 0, 4},
    {"BRS", 0, 13, 4, 1},        {"ESI", 0, 13, 5, 1}, {"DataLength", 0, 14, 0, 8},
    {"DataBytes", 10, 15, 0, 0},
};

bool remote_has(const FieldDef& f) {
  const std::string n = f.name;
  return n != "EDL" && n != "BRS" && n != "ESI" && n != "DataBytes";
}

// CN block: 8 links, then type, sync, data type, bit offset, byte offset,
// bit count, flags, invalidation bit, precision, reserved, attachment
// count and six float64 ranges and limits (72 bytes).
uint64_t channel(Meta& m, const std::string& name, uint8_t type, uint8_t sync, uint8_t data_type,
                 uint32_t byte_offset, uint8_t bit_offset, uint32_t bits, uint32_t flags) {
  const uint64_t at = m.block("CN", 8, 72);
  uint8_t* d = m.data(at);
  d[0] = type;
  d[1] = sync;
  d[2] = data_type;
  d[3] = bit_offset;
  std::memcpy(d + 4, &byte_offset, 4);
  std::memcpy(d + 8, &bits, 4);
  std::memcpy(d + 12, &flags, 4);
  const uint64_t name_at = m.text("TX", name);
  m.link(at, 2, name_at);
  return at;
}

struct Group {
  Kind kind = DATA;
  std::vector<size_t> frames;
  size_t width = 0;  // DataBytes
  size_t record = 0;
  size_t per_block = 0;
  std::vector<std::vector<uint8_t>> zipped;  // one DZ block's compressed bytes each
  std::vector<size_t> org;                   // and what they inflate to
};

struct Frame {
  int64_t timestamp;
  uint32_t can_id;
  uint8_t is64, channel, len, flags;
  uint64_t loc;
};

Frame frame_at(const FrameView& v, size_t i) {
  Frame f;
  std::memcpy(&f, v.records + static_cast<ptrdiff_t>(i) * v.stride, sizeof f);
  return f;
}

void build_records(const FrameView& v, const Group& g, size_t first, size_t count, int64_t start,
                   uint8_t* out) {
  std::memset(out, 0, count * g.record);
  for (size_t k = 0; k < count; ++k) {
    const Frame f = frame_at(v, g.frames[first + k]);
    uint8_t* r = out + k * g.record;
    const uint64_t t = static_cast<uint64_t>(f.timestamp) - static_cast<uint64_t>(start);
    std::memcpy(r, &t, 8);
    r[8] = f.channel;
    const bool fd = f.flags & FLAG_FD;
    const uint32_t word = (f.can_id & 0x1FFFFFFF) | (uint32_t(!!(f.flags & FLAG_EXTENDED)) << 29) |
                          (uint32_t(!(f.flags & FLAG_RX)) << 30) | (uint32_t(fd) << 31);
    std::memcpy(r + 9, &word, 4);
    const size_t stored = std::min<size_t>(loc_count(f.loc), g.width);
    const uint8_t dlc = g.kind == REMOTE || !fd ? static_cast<uint8_t>(std::min<int>(f.len, 15))
                                                : canfd_len_to_dlc(f.len);
    r[13] =
        static_cast<uint8_t>(dlc | (!!(f.flags & FLAG_BRS)) << 4 | (!!(f.flags & FLAG_ESI)) << 5);
    r[14] = g.kind == REMOTE ? f.len : static_cast<uint8_t>(stored);
    if (stored) std::memcpy(r + RECORD_FIXED, v.chunk + loc_offset(f.loc), stored);
  }
}

}  // namespace

WriteStats write_file(const FrameView& v, ByteOut& out, unsigned threads,
                      const std::string& version) {
  // Check every frame, find the start and each kind's data width.
  Group groups[KINDS];
  for (int k = 0; k < KINDS; ++k) groups[k].kind = static_cast<Kind>(k);
  int64_t start = 0;
  for (size_t i = 0; i < v.n; ++i) {
    const Frame f = frame_at(v, i);
    const uint64_t off = loc_offset(f.loc), cnt = loc_count(f.loc);
    if (off > v.chunk_size || cnt > v.chunk_size - off)
      throw WriteError(
          "the payload of frame " + std::to_string(i) + " lies outside the payload array", i);
    if (i == 0 || f.timestamp < start) start = f.timestamp;
    Group& g = groups[(f.flags & FLAG_ERROR) ? ERROR : (f.flags & FLAG_REMOTE) ? REMOTE : DATA];
    g.frames.push_back(i);
    if (g.kind != REMOTE) g.width = std::max<size_t>(g.width, std::min<uint64_t>(cnt, 64));
  }
  if (start < 0)
    throw WriteError(
        "frames timed before 1970 cannot be written: MF4 counts time from a "
        "start in nanoseconds since 1970",
        SIZE_MAX);
  std::vector<Group*> used;
  for (Group& g : groups)
    if (!g.frames.empty() || (g.kind == DATA && v.n == 0)) used.push_back(&g);
  // Compress each group's blocks, several at once.
  struct Job {
    Group* g;
    size_t block;
  };
  std::vector<Job> jobs;
  for (Group* g : used) {
    if (g->kind != REMOTE) g->width = std::max<size_t>(g->width, 1);
    g->record = RECORD_FIXED + (g->kind == REMOTE ? 0 : g->width);
    g->per_block = std::max<size_t>(1, BLOCK_BYTES / g->record);
    const size_t blocks = (g->frames.size() + g->per_block - 1) / g->per_block;
    g->zipped.resize(blocks);
    g->org.resize(blocks);
    for (size_t b = 0; b < blocks; ++b) jobs.push_back({g, b});
  }
  // Each of the `parts` threads takes every parts-th block.
  const size_t parts = std::min<size_t>(std::max(1u, threads), jobs.size());
  run_parts(static_cast<unsigned>(std::max<size_t>(parts, 1)), parts, [&](size_t part) {
    std::vector<uint8_t> recs;
    for (size_t j = part; j < jobs.size(); j += parts) {
      Group& g = *jobs[j].g;
      const size_t first = jobs[j].block * g.per_block;
      const size_t count = std::min(g.per_block, g.frames.size() - first);
      recs.assign(count * g.record, 0);
      build_records(v, g, first, count, start, recs.data());
      uLongf zlen = compressBound(static_cast<uLong>(recs.size()));
      std::vector<uint8_t>& z = g.zipped[jobs[j].block];
      z.resize(zlen);
      if (compress2(z.data(), &zlen, recs.data(), static_cast<uLong>(recs.size()),
                    Z_DEFAULT_COMPRESSION) != Z_OK)
        throw WriteError("zlib could not compress a block", SIZE_MAX);
      z.resize(zlen);
      g.org[jobs[j].block] = recs.size();
    }
  });

  Meta m;
  // ID block.
  m.bytes().resize(ID_SIZE, 0);
  std::memcpy(m.bytes().data(), "MDF     4.11    korvel  ", 24);
  const uint16_t ver = 411;
  std::memcpy(m.bytes().data() + ID_VERSION, &ver, 2);
  // HD: start in UTC (time offsets valid, both 0).
  const uint64_t hd = m.block("HD", 6, 32);
  {
    uint8_t* d = m.data(hd);
    const uint64_t s = static_cast<uint64_t>(start);
    std::memcpy(d, &s, 8);
    d[12] = 2;
  }
  const uint64_t fh = m.block("FH", 2, 16);
  {
    uint8_t* d = m.data(fh);
    const uint64_t s = static_cast<uint64_t>(start);
    std::memcpy(d, &s, 8);
    d[12] = 2;
    m.link(fh, 1,
           m.text("MD",
                  "<FHcomment>\n<TX>written by korvel</TX>\n<tool_id>korvel</tool_id>\n"
                  "<tool_vendor>korvel</tool_vendor>\n<tool_version>" +
                      version + "</tool_version>\n</FHcomment>"));
  }
  m.link(hd, 1, fh);
  struct Placed {
    uint64_t dl;
  };
  std::vector<Placed> placed;
  uint64_t prev_dg = 0;
  for (Group* g : used) {
    const uint64_t dg = m.block("DG", 4, 8);
    m.link(prev_dg ? prev_dg : hd, 0, dg);
    prev_dg = dg;
    const uint64_t cg = m.block("CG", 6, 32);
    m.link(dg, 1, cg);
    {
      uint8_t* d = m.data(cg);
      const uint64_t cycles = g->frames.size();
      std::memcpy(d + 8, &cycles, 8);
      const uint16_t flags = 0x0006, sep = '.';  // bus event, plain bus event
      std::memcpy(d + 16, &flags, 2);
      std::memcpy(d + 18, &sep, 2);
      const uint32_t bytes = static_cast<uint32_t>(g->record);
      std::memcpy(d + 24, &bytes, 4);
    }
    const std::string kind = KIND_NAMES[g->kind];
    m.link(cg, 2, m.text("TX", kind));
    const uint64_t si = m.block("SI", 3, 8);
    m.data(si)[0] = 2;  // bus
    m.data(si)[1] = 2;  // CAN
    m.link(si, 0, m.text("TX", "CAN"));
    m.link(si, 1, m.text("TX", "CAN"));
    m.link(cg, 3, si);
    // The master: nanoseconds, read as seconds through a factor of 1e-9.
    const uint64_t time = channel(m, "Timestamp", 2, 1, 0, 0, 0, 64, 0);
    const uint64_t cc = m.block("CC", 4, 24 + 16);
    {
      uint8_t* d = m.data(cc);
      d[0] = 1;  // linear
      const uint16_t count = 2;
      std::memcpy(d + 6, &count, 2);
      const double a = 0, b = 1e-9;
      std::memcpy(d + 24, &a, 8);
      std::memcpy(d + 32, &b, 8);
    }
    m.link(time, 4, cc);
    m.link(time, 6, m.text("TX", "s"));
    m.link(cg, 1, time);
    const uint64_t frame =
        channel(m, kind, 0, 0, 10, 8, 0, static_cast<uint32_t>((g->record - 8) * 8), CN_BUS_EVENT);
    m.link(time, 0, frame);
    uint64_t prev = 0;
    for (const FieldDef& f : FIELDS) {
      if (g->kind == REMOTE && !remote_has(f)) continue;
      const uint32_t bits = f.bits ? f.bits : static_cast<uint32_t>(g->width * 8);
      const uint64_t c = channel(m, kind + "." + f.name, 0, 0, f.data_type, f.byte_offset,
                                 f.bit_offset, bits, CN_BUS_EVENT);
      m.link(prev ? prev : frame, prev ? 0 : 1, c);
      prev = c;
    }
    if (!g->zipped.empty()) {
      const uint64_t hl = m.block("HL", 1, 8);
      m.data(hl)[0] = 1;  // equal length
      m.link(dg, 2, hl);
      const size_t n = g->zipped.size();
      const uint64_t dl = m.block("DL", 1 + n, 16);
      m.link(hl, 0, dl);
      uint8_t* d = m.data(dl);
      d[0] = 1;  // equal length
      const uint32_t count = static_cast<uint32_t>(n);
      std::memcpy(d + 4, &count, 4);
      const uint64_t equal = g->per_block * g->record;
      std::memcpy(d + 8, &equal, 8);
      placed.push_back({dl});
    } else {
      placed.push_back({0});
    }
  }
  // The DZ blocks follow the metadata.
  uint64_t at = m.size();
  for (size_t k = 0; k < used.size(); ++k)
    for (size_t b = 0; b < used[k]->zipped.size(); ++b) {
      m.link(placed[k].dl, 1 + b, at);
      at += pad8(HEADER_SIZE + 24 + used[k]->zipped[b].size());
    }
  out.write(m.bytes().data(), m.size());
  WriteStats stats;
  stats.frames = v.n;
  stats.bytes = at;
  std::vector<uint8_t> head(HEADER_SIZE + 24 + 8);
  for (Group* g : used)
    for (size_t b = 0; b < g->zipped.size(); ++b) {
      const std::vector<uint8_t>& z = g->zipped[b];
      std::fill(head.begin(), head.end(), 0);
      const uint64_t length = HEADER_SIZE + 24 + z.size(), org = g->org[b], zl = z.size();
      std::memcpy(head.data(), "##DZ", 4);
      std::memcpy(head.data() + 8, &length, 8);
      std::memcpy(head.data() + 24, "DT", 2);
      std::memcpy(head.data() + 32, &org, 8);
      std::memcpy(head.data() + 40, &zl, 8);
      out.write(head.data(), HEADER_SIZE + 24);
      out.write(z.data(), z.size());
      const size_t pad = pad8(length) - length;
      if (pad) out.write(head.data() + HEADER_SIZE + 24, pad);  // zeros
    }
  return stats;
}

}  // namespace korvel::mf4
