// ISO-TP (ISO 15765-2): diagnostic messages reassembled from single, first
// and consecutive frames, per channel, identifier and address byte.
#pragma once

#include <cstdint>
#include <vector>

#include "frames.hpp"
#include "protocols/transfers.hpp"

namespace korvel::protocols {

// Identifiers lo..hi (every step-th from lo) of one kind (base or extended).
struct IdRange {
  uint32_t lo = 0, hi = 0, step = 1;
  bool extended = false;
};

enum class Addressing { normal, extended, mixed };

struct IsotpOptions {
  std::vector<IdRange> ids;    // the identifiers that carry ISO-TP
  std::vector<bool> channels;  // 256 entries; empty for every channel
  Addressing addressing = Addressing::normal;
};

// The standard diagnostic identifiers: base 0x7DF and 0x7E0-0x7EF, extended
// 0x18DAxxxx and 0x18DBxxxx (normal fixed addressing).
std::vector<IdRange> standard_diagnostic_ids();

// Reassembles over frames fed in log order, in as many pieces as the caller
// likes; finished and broken transfers collect in `done` (unordered).
class IsotpReassembler {
 public:
  explicit IsotpReassembler(IsotpOptions options);
  ~IsotpReassembler();
  IsotpReassembler(const IsotpReassembler&) = delete;
  IsotpReassembler& operator=(const IsotpReassembler&) = delete;

  FrameFault feed(const FrameView& frames);
  void finish();

  TransferList done;

 private:
  struct State;
  State* state_;
  size_t frames_seen_ = 0;
};

}  // namespace korvel::protocols
