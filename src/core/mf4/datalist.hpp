// Where a data group's records (or a channel's signal data) lie: DT and SD
// blocks as they are, DZ blocks to inflate (deflate, or deflate of the
// bytes transposed by record), and the lists that chain them (DL, LD, HL).
// The pieces are loaded on the worker pool, several in flight, and handed
// over in stream order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bytebuf.hpp"
#include "mf4/blocks.hpp"

namespace korvel::mf4 {

constexpr uint64_t UNKNOWN = UINT64_MAX;

// DZ block data: char org_block_type[2], uint8 zip_type (0 deflate, 1
// transposition + deflate), uint8 reserved, uint32 zip_parameter (the
// columns of the transposition: the record size), uint64 org_data_length,
// uint64 data_length, then the zlib stream.
constexpr size_t DZ_FIELDS = 24;

struct Piece {
  uint64_t block = 0;  // the DT/SD/DZ block
  std::string id;      // its id, or the expected one when it is damaged
  bool zipped = false;
  uint8_t zip_type = 0;
  uint32_t zip_param = 0;
  uint64_t data_at = 0;   // where its bytes begin in the file
  uint64_t data_len = 0;  // bytes in the file
  uint64_t size = 0;      // bytes it gives (UNKNOWN when damaged beyond telling)
  uint64_t logical = 0;   // where they begin in the stream (UNKNOWN: cannot tell)
  std::string damage;     // why it cannot be read (empty: it can)
};

struct Listing {
  std::vector<Piece> pieces;
};

// The pieces of the stream that `link` starts (DT/DZ/DL/LD/HL for records,
// SD/DZ/DL/HL for signal data; `leaf` is "DT" or "SD"). `open_last`: the
// file is unfinalized and its last DT block may run to the end of the file.
// With `skip`, a block that cannot be listed becomes a damaged piece (and
// the list ends there unless the list gives later offsets); otherwise it
// throws Mf4Error.
Listing list_data(BlockReader& r, uint64_t link, const char* leaf, const std::string& from,
                  bool open_last, bool skip);

// Loads pieces [0, n) in order, `threads` at once on the pool, handing
// each to `take(i, bytes, size, damage)` on the calling thread in order
// (damage non-null: the piece could not be loaded, bytes null). Stops
// early when `take` returns false. Exceptions other than Mf4Error
// (ExternalError from the source, bad_alloc) are rethrown. With `settle`,
// the bytes handed to take(i) stay valid until take(i + 1) returns, and
// `settle` (which finishes whatever still reads them) runs before
// load_pieces returns or throws.
using TakePiece = std::function<bool(size_t, const uint8_t*, size_t, const std::string*)>;
void load_pieces(RandomSource& src, const std::vector<Piece>& pieces, unsigned threads,
                 const TakePiece& take, const std::function<void()>& settle = {});

// One piece's bytes into `out` (read, inflated and transposed back);
// returns a pointer to them, which may point into the source itself.
// Throws Mf4Error when they cannot be had.
const uint8_t* load_piece(RandomSource& src, const Piece& p, ByteBuffer& raw, ByteBuffer& out);

}  // namespace korvel::mf4
