// The MF4 reader over any bytes: the first byte picks errors="skip", the
// threads and (bit 2) LIN and Ethernet records besides the CAN frames, the
// rest is the file. Whatever the bytes, the reader returns frames or throws
// Mf4Error; every frame's payload lies inside the payload written, at most
// 64 bytes; LIN and Ethernet records are in time order with their bytes
// inside their payload. The file is an exact-size copy, so a read past it is
// a read past an allocation.
#include "common.hpp"
#include "mf4/reader.hpp"

namespace {

template <class Record>
void check_column(const korvel::buses::RecordColumn<Record>& col) {
  const Record* r = col.data();
  for (size_t i = 0; i < col.count(); ++i) {
    FUZZ_CHECK(korvel::loc_offset(r[i].loc) + korvel::loc_count(r[i].loc) <= col.payload.size());
    FUZZ_CHECK(r[i].object_type == 0);
    if (i) FUZZ_CHECK(r[i - 1].timestamp <= r[i].timestamp);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  auto file = fuzz::exact_copy(data + 1, size - 1);
  korvel::mf4::MemoryRandom src(file.get(), size - 1);
  korvel::mf4::ReadOptions options;
  options.skip = mode & 1;
  options.threads = (mode & 2) ? 2 : 1;
  korvel::mf4::Reader reader(src, options);
  fuzz::ExactSink sink;
  korvel::buses::RecordColumn<korvel::buses::LinRecord> lin;
  korvel::buses::RecordColumn<korvel::buses::EthernetRecord> ethernet;
  korvel::mf4::BusColumns columns;
  if (mode & 4) columns = {&lin, &ethernet};
  try {
    reader.open();
    reader.read(sink, 0, columns);
  } catch (const korvel::mf4::Mf4Error&) {
    return 0;
  }
  check_column(lin);
  check_column(ethernet);
  fuzz::check_sink(sink);
  for (size_t i = 0; i < sink.record_count; ++i)
    FUZZ_CHECK(korvel::loc_count(sink.records[i].loc) <= 64);
  for (size_t i = 1; i < sink.record_count; ++i)
    FUZZ_CHECK(sink.records[i - 1].timestamp <= sink.records[i].timestamp);
  return 0;
}
