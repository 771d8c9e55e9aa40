// candump -l logs: "(sec.usec) iface ID#DATA [R|T]", CAN FD "ID##<flags><DATA>",
// remote "ID#R[len]", error frames by the error flag in the identifier.
// Interfaces become channels 1, 2, ... in order of first appearance.
#pragma once

#include <string>
#include <vector>

#include "text/scan.hpp"

namespace korvel::text {

constexpr uint32_t CAN_ERR_FLAG = 0x20000000;

class CandumpParser : public TextParser {
 public:
  // At most 255 interfaces fit the channel byte; lines of more are skipped.
  const std::vector<std::string>& interfaces() const { return interfaces_; }

 protected:
  void line(Span s, Emitter& out) override;
  const char* log_name() const override { return "a candump log"; }

 private:
  bool frame(Span s, Emitter& out);
  int channel(Span name);

  std::vector<std::string> interfaces_;
  int last_ = -1;  // the interface of the previous line
};

}  // namespace korvel::text
