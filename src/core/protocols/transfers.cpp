#include "protocols/transfers.hpp"

#include <algorithm>
#include <cstring>

namespace korvel::protocols {

void append_bounded(std::vector<uint8_t>& bytes, const uint8_t* data, size_t n, size_t limit) {
  const size_t need = bytes.size() + n;
  if (need > bytes.capacity()) bytes.reserve(std::min(limit, std::max(need, 2 * bytes.capacity())));
  bytes.insert(bytes.end(), data, data + n);
}

size_t order_transfers(std::vector<Transfer>& done) {
  std::sort(done.begin(), done.end(), [](const Transfer& a, const Transfer& b) {
    if (a.record.start != b.record.start) return a.record.start < b.record.start;
    return a.first_frame < b.first_frame;
  });
  size_t at = 0;
  for (Transfer& t : done) {
    t.record.offset = at;
    t.record.received = static_cast<uint32_t>(t.bytes.size());
    at += t.bytes.size();
  }
  return at;
}

void lay_out_transfers(std::vector<Transfer>& done, TransferRecord* records, uint8_t* payload) {
  for (size_t i = 0; i < done.size(); ++i) {
    Transfer& t = done[i];
    records[i] = t.record;
    if (!t.bytes.empty()) std::memcpy(payload + t.record.offset, t.bytes.data(), t.bytes.size());
    std::vector<uint8_t>().swap(t.bytes);
  }
}

}  // namespace korvel::protocols
