#include "mf4/blocks.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sources.hpp"

namespace korvel::mf4 {

FileRandom::FileRandom(const char* path) {
  bool regular = false;
  fd_ = open_for_reading(path, error_, size_, regular);
}

FileRandom::~FileRandom() {
  if (fd_ >= 0) ::close(fd_);
}

void FileRandom::read_at(uint64_t offset, uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k = ::pread(fd_, dst + got, std::min<size_t>(n - got, size_t(1) << 30),
                              static_cast<off_t>(offset + got));
    if (k < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      throw ExternalError();
    }
    if (k == 0) {  // the file shrank under us
      std::memset(dst + got, 0, n - got);
      return;
    }
    got += static_cast<size_t>(k);
  }
}

const uint8_t* Block::at(size_t pos, size_t n) const {
  static const uint8_t zeros[64] = {};
  if (pos + n <= data.size()) return data.data() + pos;
  return zeros;  // callers read at most 64 bytes at once
}

BlockReader::BlockReader(RandomSource& src)
    : src_(src), size_(src.size()), budget_(src.size() / HEADER_SIZE + 16) {}

void BlockReader::spend(const std::string& id, uint64_t offset) {
  if (budget_ == 0)
    throw Mf4Error(id, offset, "is one block more than the file can hold: its links loop");
  --budget_;
}

FileId BlockReader::read_id() {
  uint8_t id[ID_SIZE];
  if (size_ < ID_SIZE) {
    src_.read_at(0, id, static_cast<size_t>(size_));
    if (size_ >= 8 && (std::memcmp(id, "MDF     ", 8) == 0 || std::memcmp(id, "UnFinMF ", 8) == 0))
      throw Mf4Error("ID", 0, "is cut short: " + std::to_string(size_) + " bytes of 64");
    throw Mf4Error("not an MDF 4 file (it does not begin with 'MDF     ' or 'UnFinMF ')");
  }
  src_.read_at(0, id, ID_SIZE);
  FileId f;
  f.unfinalized = std::memcmp(id, "UnFinMF ", 8) == 0;
  if (!f.unfinalized && std::memcmp(id, "MDF     ", 8) != 0)
    throw Mf4Error("not an MDF 4 file (it does not begin with 'MDF     ' or 'UnFinMF ')");
  f.version = u16le(id + ID_VERSION);
  if (f.version < 400 || f.version >= 500) {
    // Version 3 files carry the number only as text.
    std::string vers(reinterpret_cast<const char*>(id + 8), 8);
    vers.erase(vers.find_last_not_of(" \0", std::string::npos, 2) + 1);
    throw Mf4Error("ID", 0,
                   "declares MDF version '" + vers + "': only MDF 4 (4.00 to 4.2x) is read");
  }
  f.unfin_flags = u16le(id + ID_UNFIN_FLAGS);
  if (f.unfin_flags) f.unfinalized = true;
  return f;
}

Header BlockReader::read_header() {
  Block hd = read(ID_SIZE, "HD", "ID");
  Header h;
  h.offset = hd.offset;
  h.dg_first = hd.link(0);
  h.start_ns = u64le(hd.at(0, 8));
  h.tz_offset_min = static_cast<int16_t>(u16le(hd.at(8, 2)));
  h.dst_offset_min = static_cast<int16_t>(u16le(hd.at(10, 2)));
  h.time_flags = *hd.at(12, 1);
  return h;
}

namespace {
bool id_among(const char* got, const char* ids) {
  if (!ids) return true;
  for (const char* p = ids; p[0] && p[1]; p += 3) {
    if (p[0] == got[0] && p[1] == got[1]) return true;
    if (!p[2]) break;
  }
  return false;
}

std::string printable(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '?';
  return s;
}

std::string wanted(const char* ids) {
  std::string s(ids);
  std::replace(s.begin(), s.end(), ' ', '/');
  return s;
}
}  // namespace

Block BlockReader::read(uint64_t offset, const char* ids, const std::string& from, bool with_data,
                        size_t data_max) {
  const std::string expect = ids ? wanted(ids) : std::string("linked");
  if (offset < ID_SIZE || offset > size_ || size_ - offset < HEADER_SIZE)
    throw Mf4Error(expect, offset,
                   "(linked from the " + from + ") lies outside the file of " +
                       std::to_string(size_) + " bytes");
  spend(expect, offset);
  uint8_t h[HEADER_SIZE];
  src_.read_at(offset, h, HEADER_SIZE);
  if (h[0] != '#' || h[1] != '#')
    throw Mf4Error(expect, offset,
                   "(linked from the " + from + ") has no block header: its first bytes are '" +
                       printable(h, 4) + "'");
  const char got[3] = {char(h[2]), char(h[3]), 0};
  Block b;
  b.id = got;
  b.offset = offset;
  if (!id_among(got, ids))
    throw Mf4Error(b.id, offset, "(linked from the " + from + ") is not a " + expect + " block");
  b.length = u64le(h + 8);
  const uint64_t link_count = u64le(h + 16);
  if (b.length < HEADER_SIZE || b.length > size_ - offset)
    throw Mf4Error(b.id, offset,
                   "declares a length of " + std::to_string(b.length) + " bytes, but " +
                       std::to_string(size_ - offset) + " bytes are left in the file");
  if (link_count > (b.length - HEADER_SIZE) / 8)
    throw Mf4Error(b.id, offset,
                   "declares " + std::to_string(link_count) + " links, more than its " +
                       std::to_string(b.length) + " bytes hold");
  const size_t n_links = static_cast<size_t>(link_count);
  std::vector<uint8_t> raw(n_links * 8);
  if (n_links) src_.read_at(offset + HEADER_SIZE, raw.data(), raw.size());
  b.links.resize(n_links);
  for (size_t i = 0; i < n_links; ++i) {
    b.links[i] = u64le(raw.data() + 8 * i);
    if (b.links[i] && (b.links[i] < ID_SIZE || b.links[i] >= size_))
      throw Mf4Error(b.id, offset,
                     "has link " + std::to_string(i) + " to byte offset " +
                         std::to_string(b.links[i]) + ", outside the file of " +
                         std::to_string(size_) + " bytes");
  }
  if (with_data) load_data(b, data_max);
  return b;
}

void BlockReader::load_data(Block& b, size_t data_max) {
  const uint64_t at = HEADER_SIZE + 8 * uint64_t(b.links.size());
  b.data.resize(static_cast<size_t>(std::min<uint64_t>(b.length - at, data_max)));
  if (!b.data.empty()) src_.read_at(b.offset + at, b.data.data(), b.data.size());
}

std::string BlockReader::text(uint64_t offset, const std::string& from) {
  if (!offset) return {};
  // Names and comments; a huge XML comment is not needed past its start.
  Block b = read(offset, "TX MD", from, true, 1 << 16);
  if (b.data.empty()) return {};  // a block of no text: no bytes to look at
  const auto* p = reinterpret_cast<const char*>(b.data.data());
  return std::string(p, strnlen(p, b.data.size()));
}

void LoopGuard::visit(uint64_t target, const std::string& block, uint64_t offset) {
  if (!seen_.insert(target).second)
    throw Mf4Error(block, offset,
                   "links back to byte offset " + std::to_string(target) +
                       ", a block already walked: its links loop");
}

}  // namespace korvel::mf4
