// Vector ASC text logs: the header lines (date, base, internal events), trigger
// blocks, classic and CAN FD frame lines and error frames; LIN (Li) and
// Ethernet (ETH) lines when their records are wanted. Other lines (events,
// statistics, comments, other buses) are counted and skipped.
#pragma once

#include <vector>

#include "text/scan.hpp"

namespace korvel::text {

// The date of a `date` or `Begin Triggerblock` line, after its keyword:
// "[weekday] month day hh:mm:ss[.fff] [am|pm] year" with English (and the
// German) month abbreviations, 12- or 24-hour. False for any other form.
bool parse_asc_date(Span s, CivilTime& t);

// The flags column of a CANFD line (the flags of the BLF object it was
// logged from): a remote frame (classic frames only), EDL (a CAN FD frame),
// bit rate switch, error state indicator.
constexpr uint32_t ASC_FD_REMOTE = 0x10;
constexpr uint32_t ASC_FD_EDL = 0x1000;
constexpr uint32_t ASC_FD_BRS = 0x2000;
constexpr uint32_t ASC_FD_ESI = 0x4000;

class AscParser : public TextParser {
 public:
  explicit AscParser(LocalClock& clock) : clock_(clock) {}

 protected:
  void line(Span s, Emitter& out) override;
  const char* log_name() const override { return "an ASC log"; }

 private:
  void timed_line(Span s, Span rest, Span first, Emitter& out);
  bool classic(Span rest, int64_t ts, uint8_t channel, Emitter& out);
  bool fd(Span rest, int64_t ts, Emitter& out);
  bool lin(Span rest, int64_t ts, uint16_t channel);
  bool ethernet(Span rest, int64_t ts);
  bool data_bytes(Span& rest, size_t n, uint8_t* dst) const;
  bool identifier(Span tok, uint32_t& id, bool& extended) const;
  void set_start(Span date, Span whole);

  LocalClock& clock_;
  int base_ = 16;
  bool relative_ = false;
  int64_t start_ = 0;           // the time base, ns
  int64_t last_ = 0;            // relative timestamps: the previous event's time
  std::vector<uint8_t> frame_;  // an Ethernet frame's bytes, reused from line to line
};

}  // namespace korvel::text
