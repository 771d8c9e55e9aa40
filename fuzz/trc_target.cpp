// The PCAN trace reader: whole against blocks and pieces (text_common.hpp).
#include "text/trc.hpp"
#include "text_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::check(data, size, [](korvel::text::LocalClock& c) {
    return std::make_unique<korvel::text::TrcParser>(c);
  });
  return 0;
}
