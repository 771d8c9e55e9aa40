// The candump reader: whole against blocks and pieces (text_common.hpp), and
// the same interfaces, in the same order, either way.
#include "text/candump.hpp"
#include "text_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::check(data, size, [](korvel::text::LocalClock&) {
    return std::make_unique<korvel::text::CandumpParser>();
  });
  return 0;
}
