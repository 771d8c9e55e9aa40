// ISO-TP reassembly over frames built from the input: protocol control bytes
// of every type on a few identifiers and address bytes, frames of any length
// (CAN FD sizes included), first frames announcing up to 4 GB, and now and
// then a locator outside the payload array. Fed in one to three pieces, the
// transfers must equal those of one whole feed; each must keep within its
// announced size (complete: exactly it, from a first frame of 8 bytes at
// least), hold no more than the frames brought, and the transfers must
// order and lay out exactly.
#include <algorithm>
#include <vector>

#include "common.hpp"
#include "protocols/isotp.hpp"
#include "protocols/transfers.hpp"

namespace {

using korvel::DT_t;
namespace kp = korvel::protocols;

constexpr uint32_t IDS[4] = {0x7E0, 0x7E8, 0x18DAF110, 0x123};
constexpr size_t COUNTS[8] = {8, 8, 8, 8, 3, 12, 64, 0};
constexpr size_t MAX_FRAMES = 4096;

struct Frames {
  std::vector<DT_t> recs;
  std::vector<uint8_t> chunk;
  size_t bad = SIZE_MAX;  // the first frame whose locator lies outside
};

Frames build(fuzz::Input& in, kp::Addressing addressing) {
  Frames out;
  int64_t t = 0;
  while (in.left() && out.recs.size() < MAX_FRAMES) {
    const uint8_t shape = in.take<uint8_t>();
    const uint8_t pci = in.take<uint8_t>();
    DT_t d{};
    d.can_id = IDS[shape & 3];
    d.flags = static_cast<uint8_t>((d.can_id > 0x7FF ? 0x40 : 0) | (shape & 0x20 ? 0x08 : 0));
    d.channel = shape >> 7;
    t += shape & 0x40 ? -1 : 1000;
    d.timestamp = t;
    const size_t count = COUNTS[(shape >> 2) & 7];
    std::vector<uint8_t> data(count, 0xAA);
    const size_t a = addressing == kp::Addressing::normal ? 0 : 1;
    if (count > a) {
      if (a) data[0] = pci & 1 ? 0xF1 : 0xF2;
      data[a] = pci;
      // First frames: lengths from the input, the 32-bit escape often.
      for (size_t k = a + 1; k < count && k < a + 6; ++k) data[k] = in.take<uint8_t>();
    }
    const size_t at = out.chunk.size();
    out.chunk.insert(out.chunk.end(), data.begin(), data.end());
    uint64_t loc = korvel::make_loc(at, count);
    if ((shape & 0x1F) == 0x1F && in.take<uint8_t>() < 16)
      loc = korvel::make_loc(at + 1 + in.take<uint16_t>(), count + 1);
    d.loc = loc;
    out.recs.push_back(d);
  }
  for (size_t i = 0; i < out.recs.size(); ++i) {
    const uint64_t off = korvel::loc_offset(out.recs[i].loc),
                   n = korvel::loc_count(out.recs[i].loc);
    if (off > out.chunk.size() || n > out.chunk.size() - off) {
      out.bad = i;
      break;
    }
  }
  return out;
}

korvel::FrameView view(const Frames& f, size_t from, size_t to) {
  korvel::FrameView v;
  v.records = reinterpret_cast<const char*>(f.recs.data() + from);
  v.n = to - from;
  v.stride = sizeof(DT_t);
  v.chunk = f.chunk.data();
  v.chunk_size = f.chunk.size();
  return v;
}

struct Result {
  std::vector<kp::TransferRecord> records;
  std::vector<uint64_t> first;
  std::vector<uint8_t> payload;
};

// Runs the reassembler over [0, end) in the given cuts; collects everything.
Result run(const Frames& f, size_t end, const std::vector<size_t>& cuts,
           const kp::IsotpOptions& options) {
  kp::IsotpReassembler r(options);
  std::vector<kp::Transfer> all;
  std::vector<uint8_t> bytes;
  auto take = [&] {
    for (const kp::Transfer& t : r.done.items) {
      kp::Transfer copy = t;
      copy.held_at = bytes.size();
      bytes.insert(bytes.end(), r.done.held.begin() + static_cast<ptrdiff_t>(t.held_at),
                   r.done.held.begin() + static_cast<ptrdiff_t>(t.held_at + t.record.received));
      all.push_back(copy);
    }
    r.done.clear();
  };
  size_t from = 0;
  for (size_t cut : cuts) {
    const kp::FrameFault fault = r.feed(view(f, from, cut));
    FUZZ_CHECK(fault.ok);
    take();
    from = cut;
  }
  const kp::FrameFault fault = r.feed(view(f, from, end));
  FUZZ_CHECK(fault.ok);
  r.finish();
  take();

  kp::TransferList list;
  list.items = all;
  list.held = bytes;
  const size_t total = kp::order_transfers(list);
  size_t sum = 0;
  for (size_t i = 0; i < list.items.size(); ++i) {
    const kp::TransferRecord& rec = list.items[i].record;
    FUZZ_CHECK(rec.received <= rec.size);
    FUZZ_CHECK(rec.status != kp::COMPLETE || rec.received == rec.size);
    // A first frame fills a frame of 8 bytes at least.
    if (rec.protocol == kp::ISOTP_MULTI && rec.status == kp::COMPLETE)
      FUZZ_CHECK(korvel::loc_count(f.recs[list.items[i].first_frame].loc) >= 8);
    FUZZ_CHECK(rec.offset == sum);
    sum += rec.received;
    if (i) {
      const kp::Transfer& p = list.items[i - 1];
      FUZZ_CHECK(p.record.start < rec.start ||
                 (p.record.start == rec.start && p.first_frame < list.items[i].first_frame));
    }
  }
  FUZZ_CHECK(total == sum);
  FUZZ_CHECK(sum <= f.chunk.size());  // never more than the frames brought
  Result out;
  out.records.resize(list.items.size());
  out.payload.resize(total);
  for (const kp::Transfer& t : list.items) out.first.push_back(t.first_frame);
  kp::lay_out_transfers(list, out.records.data(), out.payload.data());
  FUZZ_CHECK(list.items.empty() && list.held.empty());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  kp::IsotpOptions options;
  options.ids = kp::standard_diagnostic_ids();
  options.ids.push_back({0x100, 0x1FF, static_cast<uint32_t>(1 + (mode >> 4)), false});
  options.addressing = static_cast<kp::Addressing>(mode % 3);
  const Frames f = build(in, options.addressing);

  // A feed stops only at a frame whose locator really lies outside (frames
  // it does not read may keep theirs).
  {
    kp::IsotpReassembler r(options);
    const kp::FrameFault fault = r.feed(view(f, 0, f.recs.size()));
    if (!fault.ok) FUZZ_CHECK(f.bad <= fault.frame && fault.frame < f.recs.size());
    if (f.bad == SIZE_MAX) FUZZ_CHECK(fault.ok);
    if (!fault.ok) {
      const uint64_t loc = f.recs[fault.frame].loc;
      FUZZ_CHECK(korvel::loc_offset(loc) + korvel::loc_count(loc) > f.chunk.size());
    }
  }
  const size_t end = f.bad == SIZE_MAX ? f.recs.size() : f.bad;
  const Result whole = run(f, end, {}, options);
  std::vector<size_t> cuts;
  if (end > 1) cuts.push_back(std::min<size_t>(end, mode % (end + 1)));
  if (end > 2 && (mode & 8)) cuts.push_back(std::max(cuts[0], end - (mode % end)));
  const Result pieces = run(f, end, cuts, options);
  FUZZ_CHECK(whole.payload == pieces.payload);
  FUZZ_CHECK(whole.first == pieces.first);
  FUZZ_CHECK(whole.records.size() == pieces.records.size());
  for (size_t i = 0; i < whole.records.size(); ++i)
    FUZZ_CHECK(std::memcmp(&whole.records[i], &pieces.records[i], sizeof(kp::TransferRecord)) == 0);
  return 0;
}
