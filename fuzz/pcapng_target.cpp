// Ethernet records of any content (channels, lengths, payload locations
// inside or outside the payload, stride wider than a record) written as
// pcapng: either refused with nothing appended, or a file whose blocks
// chain exactly to its end, one enhanced packet per record holding that
// record's bytes, its interface that of the record's channel.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "buses/records.hpp"
#include "common.hpp"
#include "export/pcapng.hpp"
#include "frames.hpp"

namespace {

using korvel::buses::EthernetRecord;

uint32_t u32_at(const korvel::ByteBuffer& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t n = in.take<uint8_t>() % 24;
  const uint8_t pad = in.take<uint8_t>() % 3 * 8;  // a field view of wider records
  const size_t stride = sizeof(EthernetRecord) + pad;
  std::vector<char> records(n * stride + 1);
  for (size_t i = 0; i < n; ++i) {
    EthernetRecord r = in.take<EthernetRecord>();
    const uint16_t small = in.take<uint16_t>();
    if (small & 1) {  // mostly payloads within reach of the payload array
      r.loc = korvel::make_loc((small >> 1) & 0x3F, (small >> 7) & 0x7F);
      r.channel &= 3;
    }
    std::memcpy(records.data() + i * stride, &r, sizeof r);
  }
  const auto payload = fuzz::exact_copy(in.rest(), in.left());
  const size_t payload_size = in.left();

  korvel::ByteBuffer out;
  std::memcpy(out.reserve_more(3), "abc", 3);
  out.commit(3);  // bytes already there stay
  std::string error;
  const bool ok = korvel::pcapng::write(records.data(), n, static_cast<ptrdiff_t>(stride),
                                        payload.get(), payload_size, "fuzz", out, error);
  bool inside = true;
  for (size_t i = 0; i < n; ++i) {
    EthernetRecord r;
    std::memcpy(&r, records.data() + i * stride, sizeof r);
    const uint64_t off = korvel::loc_offset(r.loc), k = korvel::loc_count(r.loc);
    inside = inside && off <= payload_size && k <= payload_size - off && k <= 0xFFFF;
  }
  FUZZ_CHECK(ok == inside);
  FUZZ_CHECK(std::memcmp(out.data(), "abc", 3) == 0);
  if (!ok) {
    FUZZ_CHECK(out.size() == 3 && !error.empty());
    return 0;
  }
  // Walk the blocks: each one's length at both ends, 4-byte aligned.
  size_t at = 3, packets = 0;
  std::map<uint16_t, uint32_t> interface_of;
  std::vector<uint16_t> channels;
  for (size_t i = 0; i < n; ++i) {
    EthernetRecord r;
    std::memcpy(&r, records.data() + i * stride, sizeof r);
    if (interface_of.emplace(r.channel, static_cast<uint32_t>(channels.size())).second)
      channels.push_back(r.channel);
  }
  size_t interfaces = 0;
  while (at < out.size()) {
    FUZZ_CHECK(out.size() - at >= 12);
    const uint32_t type = u32_at(out, at), total = u32_at(out, at + 4);
    FUZZ_CHECK(total % 4 == 0 && total >= 12 && total <= out.size() - at);
    FUZZ_CHECK(u32_at(out, at + total - 4) == total);
    if (at == 3) FUZZ_CHECK(type == 0x0A0D0D0A);
    if (type == 1) ++interfaces;
    if (type == 6) {
      EthernetRecord r;
      std::memcpy(&r, records.data() + packets * stride, sizeof r);
      FUZZ_CHECK(u32_at(out, at + 8) == interface_of.at(r.channel));
      const uint32_t captured = u32_at(out, at + 20);
      FUZZ_CHECK(captured == korvel::loc_count(r.loc) && 28 + captured <= total);
      FUZZ_CHECK(captured == 0 ||
                 std::memcmp(out.data() + at + 28, payload.get() + korvel::loc_offset(r.loc),
                             captured) == 0);
      ++packets;
    }
    at += total;
  }
  FUZZ_CHECK(at == out.size() && packets == n && interfaces == channels.size());
  return 0;
}
