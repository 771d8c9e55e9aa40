// The blocks every reader walks: the common header with its links, checked
// against the file before anything is trusted, and the ID, HD and TX/MD
// blocks. Walks through links keep a budget of blocks (no file holds more
// blocks than 24-byte headers fit in it), so a link loop ends as an error.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "mf4/format.hpp"

namespace korvel::mf4 {

struct Block {
  std::string id;  // "DG", "CG", ... (without the "##")
  uint64_t offset = 0;
  uint64_t length = 0;
  std::vector<uint64_t> links;
  std::vector<uint8_t> data;  // the bytes after the links (metadata blocks only)
  uint64_t link(size_t i) const { return i < links.size() ? links[i] : 0; }
  // Data fields past the bytes present read as zero (older versions of a
  // block are shorter).
  const uint8_t* at(size_t pos, size_t n) const;
};

struct FileId {
  bool unfinalized = false;  // "UnFinMF "
  uint16_t version = 0;      // 400, 410, 411, 420
  uint16_t unfin_flags = 0;
};

// HD block: links dg_first, fh_first, ch_first, at_first, ev_first,
// md_comment; data: uint64 start_time_ns, int16 tz_offset_min, int16
// dst_offset_min, uint8 time_flags (1 local time, 2 offsets valid), uint8
// time_class, uint8 flags, uint8 reserved, float64 start_angle, start_distance.
struct Header {
  uint64_t offset = 0;
  uint64_t dg_first = 0;
  uint64_t start_ns = 0;
  int16_t tz_offset_min = 0;
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;
};

class BlockReader {
 public:
  explicit BlockReader(RandomSource& src);

  RandomSource& source() { return src_; }
  uint64_t file_size() const { return size_; }

  FileId read_id();
  Header read_header();

  // The block at `offset`, which must be one of `ids` (two-letter ids
  // separated by spaces, e.g. "DT DZ DL"; null takes any). `with_data`
  // reads the data after the links as well (at most `data_max` bytes).
  // `from` names the block that links here, for messages.
  Block read(uint64_t offset, const char* ids, const std::string& from, bool with_data = true,
             size_t data_max = SIZE_MAX);

  // Reads (up to `data_max` bytes of) the data of a block read without it.
  void load_data(Block& b, size_t data_max);

  // Text of a TX or MD block (empty for link 0), cut at its first NUL.
  std::string text(uint64_t offset, const std::string& from);

  // Counts one more block visited; throws past the budget.
  void spend(const std::string& id, uint64_t offset);

 private:
  RandomSource& src_;
  uint64_t size_;
  uint64_t budget_;
};

// Links seen on one walk: a link seen twice is a loop.
class LoopGuard {
 public:
  // Throws Mf4Error naming `block` at `offset` when `target` was seen.
  void visit(uint64_t target, const std::string& block, uint64_t offset);

 private:
  std::unordered_set<uint64_t> seen_;
};

}  // namespace korvel::mf4
