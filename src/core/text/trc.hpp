// PCAN trace files, versions 1.0, 1.1, 1.3, 2.0 and 2.1: the header's
// $FILEVERSION, $STARTTIME (days since 1899-12-30, local time) and $COLUMNS,
// then one message per line in the layout the version declares.
#pragma once

#include "text/scan.hpp"

namespace korvel::text {

// $STARTTIME days -> the wall-clock date and the part below the second, as
// python-can's timedelta(days=...) rounds it (to the microsecond).
bool trc_start_time(double days, CivilTime& t);

class TrcParser : public TextParser {
 public:
  explicit TrcParser(LocalClock& clock) : clock_(clock) {}

 protected:
  void line(Span s, Emitter& out) override;
  const char* log_name() const override { return "a PCAN trace"; }

 private:
  void header(Span s);
  bool frame_v1(Span s, Emitter& out);
  bool frame_v2(Span s, Emitter& out);
  // Data bytes "AA BB ..." of exactly n tokens.
  static bool hex_bytes(Span& rest, size_t n, uint8_t* dst);

  LocalClock& clock_;
  int version_ = 10;  // 10, 11, 13, 20, 21
  int64_t start_ = 0;
  char columns_[16] = {};
  size_t ncolumns_ = 0;
  bool body_ = false;  // past the header
};

}  // namespace korvel::text
