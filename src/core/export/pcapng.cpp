#include "export/pcapng.hpp"

#include <cstring>
#include <vector>

#include "frames.hpp"

namespace korvel::pcapng {

namespace {

constexpr uint32_t SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t INTERFACE_DESCRIPTION = 1;
constexpr uint32_t ENHANCED_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t LINKTYPE_ETHERNET = 1;
constexpr uint16_t OPT_END = 0;
constexpr uint16_t SHB_USERAPPL = 4;
constexpr uint16_t IF_NAME = 2;
constexpr uint16_t IF_TSRESOL = 9;
constexpr uint16_t EPB_FLAGS = 2;
constexpr uint32_t INBOUND = 1, OUTBOUND = 2;  // epb_flags bits 0-1

size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

// A block under construction: type and length first, length again last.
class Block {
 public:
  Block(ByteBuffer& out, uint32_t type) : out_(out), start_(out.size()) {
    u32(type);
    u32(0);  // total length, set by end()
  }
  void u16(uint16_t v) { bytes(&v, 2); }
  void u32(uint32_t v) { bytes(&v, 4); }
  void bytes(const void* p, size_t n) {
    if (n) std::memcpy(out_.reserve_more(n), p, n);
    out_.commit(n);
  }
  void zeros(size_t n) {
    if (n) std::memset(out_.reserve_more(n), 0, n);
    out_.commit(n);
  }
  void option(uint16_t code, const void* p, size_t n) {
    u16(code);
    u16(static_cast<uint16_t>(n));
    bytes(p, n);
    zeros(pad4(n) - n);
  }
  void end() {
    const uint32_t total = static_cast<uint32_t>(out_.size() - start_ + 4);
    u32(total);
    std::memcpy(out_.data() + start_ + 4, &total, 4);
  }

 private:
  ByteBuffer& out_;
  size_t start_;
};

}  // namespace

bool write(const char* records, size_t n, ptrdiff_t stride, const uint8_t* payload,
           size_t payload_size, const std::string& application, ByteBuffer& out,
           std::string& error) {
  // Interfaces first: every channel, in order of first appearance.
  std::vector<uint16_t> channels;
  std::vector<uint32_t> interface_of(65536, UINT32_MAX);
  for (size_t i = 0; i < n; ++i) {
    buses::EthernetRecord r;
    std::memcpy(&r, records + static_cast<ptrdiff_t>(i) * stride, sizeof r);
    const uint64_t off = loc_offset(r.loc), k = loc_count(r.loc);
    if (off > payload_size || k > payload_size - off || k > 0xFFFF) {
      error = "record " + std::to_string(i) + "'s payload lies outside the payload array";
      return false;
    }
    if (interface_of[r.channel] == UINT32_MAX) {
      interface_of[r.channel] = static_cast<uint32_t>(channels.size());
      channels.push_back(r.channel);
    }
  }
  {
    Block b(out, SECTION_HEADER);
    b.u32(BYTE_ORDER_MAGIC);
    b.u16(1);
    b.u16(0);
    const int64_t unknown_length = -1;
    b.bytes(&unknown_length, 8);
    b.option(SHB_USERAPPL, application.data(), application.size());
    b.option(OPT_END, nullptr, 0);
    b.end();
  }
  for (uint16_t c : channels) {
    Block b(out, INTERFACE_DESCRIPTION);
    b.u16(LINKTYPE_ETHERNET);
    b.u16(0);
    b.u32(0);  // no snapshot length limit
    const std::string name = "ETH " + std::to_string(c);
    b.option(IF_NAME, name.data(), name.size());
    const uint8_t nanoseconds = 9;
    b.option(IF_TSRESOL, &nanoseconds, 1);
    b.option(OPT_END, nullptr, 0);
    b.end();
  }
  for (size_t i = 0; i < n; ++i) {
    buses::EthernetRecord r;
    std::memcpy(&r, records + static_cast<ptrdiff_t>(i) * stride, sizeof r);
    const uint64_t off = loc_offset(r.loc);
    const uint32_t captured = static_cast<uint32_t>(loc_count(r.loc));
    const uint32_t original = r.length > captured ? r.length : captured;
    // Times before the epoch have no place in the format's unsigned count.
    const uint64_t ts = r.timestamp < 0 ? 0 : static_cast<uint64_t>(r.timestamp);
    Block b(out, ENHANCED_PACKET);
    b.u32(interface_of[r.channel]);
    b.u32(static_cast<uint32_t>(ts >> 32));
    b.u32(static_cast<uint32_t>(ts));
    b.u32(captured);
    b.u32(original);
    b.bytes(payload + off, captured);
    b.zeros(pad4(captured) - captured);
    const uint32_t flags = (r.flags & buses::BUS_RX) ? INBOUND : OUTBOUND;
    b.option(EPB_FLAGS, &flags, 4);
    b.option(OPT_END, nullptr, 0);
    b.end();
  }
  return true;
}

}  // namespace korvel::pcapng
