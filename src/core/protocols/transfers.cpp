#include "protocols/transfers.hpp"

#include <algorithm>
#include <cstring>

namespace korvel::protocols {

void TransferList::add(const Transfer& t, const uint8_t* bytes, size_t n) {
  items.push_back(t);
  Transfer& added = items.back();
  added.held_at = held.size();
  added.record.received = static_cast<uint32_t>(n);
  held.insert(held.end(), bytes, bytes + n);
}

void append_bounded(std::vector<uint8_t>& bytes, const uint8_t* data, size_t n, size_t limit) {
  const size_t need = bytes.size() + n;
  if (need > bytes.capacity()) bytes.reserve(std::min(limit, std::max(need, 2 * bytes.capacity())));
  bytes.insert(bytes.end(), data, data + n);
}

size_t order_transfers(TransferList& done) {
  auto before = [](const Transfer& a, const Transfer& b) {
    if (a.record.start != b.record.start) return a.record.start < b.record.start;
    return a.first_frame < b.first_frame;
  };
  // Mostly in order already: short transfers end where they start.
  if (!std::is_sorted(done.items.begin(), done.items.end(), before))
    std::sort(done.items.begin(), done.items.end(), before);
  size_t at = 0;
  for (Transfer& t : done.items) {
    t.record.offset = at;
    at += t.record.received;
  }
  return at;
}

void lay_out_transfers(TransferList& done, TransferRecord* records, uint8_t* payload) {
  for (size_t i = 0; i < done.items.size(); ++i) {
    const Transfer& t = done.items[i];
    records[i] = t.record;
    if (t.record.received)
      std::memcpy(payload + t.record.offset, done.held.data() + t.held_at, t.record.received);
  }
  done.clear();
}

}  // namespace korvel::protocols
