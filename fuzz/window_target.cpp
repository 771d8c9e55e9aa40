// Time windows over arbitrary input: the containers a window reads (from
// first timestamps, some unknown), the first object found at the start of a
// container's data (only where the walk from it is clean), and records masked
// to the window with their payload moved down. Each must stay in bounds and
// keep what it promises.
#include <cstring>
#include <vector>

#include "blf/objects.hpp"
#include "blf/reader.hpp"
#include "common.hpp"
#include "frames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  // Small times, so that windows and first timestamps meet often.
  const int64_t start = in.take<int8_t>(), stop = start + in.take<uint8_t>();
  std::vector<korvel::ContainerEntry> entries(in.take<uint8_t>() % 32);
  for (auto& e : entries) {
    e.first = static_cast<korvel::FirstObject>(in.take<uint8_t>() % 3);
    e.first_timestamp = in.take<int8_t>();
  }
  size_t first = 0, end = 0;
  if (korvel::window_containers(entries, start, stop, first, end)) {
    FUZZ_CHECK(first <= end && end <= entries.size());
    // Ascending first times: a container left out before the range is
    // followed by one that starts before the window, one after it by one
    // that starts at or past its end.
    for (size_t j = 0; j < first; ++j)
      for (size_t k = j + 1; k < entries.size(); ++k)
        if (entries[k].first == korvel::FirstObject::Found) {
          FUZZ_CHECK(entries[k].first_timestamp < start);
          break;
        }
    for (size_t j = end; j < entries.size(); ++j) {
      bool bounded = false;
      for (size_t k = j + 1; k-- > 0;)
        if (entries[k].first == korvel::FirstObject::Found) {
          FUZZ_CHECK(entries[k].first_timestamp >= stop);
          bounded = true;
          break;
        }
      FUZZ_CHECK(bounded);
    }
  }

  const bool whole = in.take<uint8_t>() & 1;
  const size_t n = in.left();
  auto body = fuzz::exact_copy(in.rest(), n);
  bool undecided = false;
  const size_t p = korvel::first_object(body.get(), n, whole, &undecided);
  // A first object is taken only where the walk from it goes on cleanly past
  // one whole object: its first object at least lies whole in the bytes.
  FUZZ_CHECK(
      p == korvel::NO_OBJECT ||
      (!undecided && p + sizeof(korvel::blf::ObjHeaderBase_t) <= n &&
       korvel::blf::load<korvel::blf::ObjHeaderBase_t>(body.get() + p).object_size <= n - p &&
       korvel::walk_objects(body.get(), n, p).outcome != korvel::Walk::Fault));

  // Records over the same bytes: a time and a payload count each, payloads
  // back to back, as a read leaves them.
  std::vector<korvel::DT_t> recs;
  size_t at = 0;
  for (size_t i = 0; i + 1 < n && recs.size() < 64; i += 2) {
    const size_t count = std::min<size_t>(body[i + 1] % 9, n - at);
    korvel::DT_t r{};
    r.timestamp = static_cast<int8_t>(body[i]);
    r.loc = korvel::make_loc(at, count);
    recs.push_back(r);
    at += count;
  }
  std::vector<uint8_t> payload(body.get(), body.get() + at);
  const std::vector<korvel::DT_t> before = recs;
  size_t used = at;
  const size_t from = recs.empty() ? 0 : body[0] % recs.size();
  const size_t kept =
      korvel::keep_window(recs.data(), from, recs.size(), payload.data(), used, start, stop);
  FUZZ_CHECK(kept <= recs.size() && used <= at);
  size_t j = from, expect_at = from < before.size() ? korvel::loc_offset(before[from].loc) : at;
  for (size_t i = from; i < kept; ++i) {
    while (before[j].timestamp < start || before[j].timestamp >= stop) ++j;
    const uint64_t count = korvel::loc_count(before[j].loc);
    FUZZ_CHECK(recs[i].timestamp == before[j].timestamp);
    FUZZ_CHECK(korvel::loc_offset(recs[i].loc) == expect_at &&
               korvel::loc_count(recs[i].loc) == count);
    // memcmp takes no null pointer, even for no bytes.
    FUZZ_CHECK(count == 0 ||
               std::memcmp(payload.data() + expect_at,
                           body.get() + korvel::loc_offset(before[j].loc), count) == 0);
    expect_at += count;
    ++j;
  }
  return 0;
}
