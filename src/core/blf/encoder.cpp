#include "blf/encoder.hpp"

#include <algorithm>
#include <cstring>

namespace korvel::enc {

using namespace korvel::blf;

namespace {

inline size_t min3(size_t a, size_t b, size_t c) { return std::min(a, std::min(b, c)); }

inline void write_obj_header(uint8_t* out, uint32_t size, uint32_t type, uint64_t ts) {
  ObjHeaderBase_t base{};
  std::memcpy(base.signature, "LOBJ", 4);
  base.header_size = static_cast<uint16_t>(OBJ_HEADER_V1_TOTAL);
  base.header_version = 1;
  base.object_size = size;
  base.object_type = type;
  ObjHeaderV1_t ext{};
  ext.flags = TS_UNIT_1NS;
  ext.timestamp = ts;
  store(out, base);
  store(out + sizeof base, ext);
}

// The 16 header bytes of a record (the DT_t fields before loc); loc is 0.
inline DT_t load_header(const char* p) {
  DT_t r{};
  std::memcpy(&r, p, RECORD_DATA_OFFSET);
  return r;
}

}  // namespace

size_t object_size_for(uint8_t flags) {
  if (flags & FLAG_ERROR) return ERROR_OBJ_SIZE;
  if (flags & FLAG_FD) return FD_OBJ_SIZE;
  return CLASSIC_OBJ_SIZE;
}

size_t encode_object(uint8_t* out, const FrameIn& f, int64_t start_timestamp) {
  const uint8_t mflg = f.flags;
  uint32_t can_id = f.can_id;
  if (mflg & FLAG_EXTENDED) can_id |= CAN_ID_EXTENDED;
  uint8_t msg_flags = 0;
  if (mflg & FLAG_REMOTE) msg_flags |= MSG_FLAG_RTR;
  if (!(mflg & FLAG_RX)) msg_flags |= MSG_FLAG_TX;
  const uint64_t rel = static_cast<uint64_t>(f.timestamp) - static_cast<uint64_t>(start_timestamp);
  uint8_t* body = out + OBJ_HEADER_V1_TOTAL;

  if (mflg & FLAG_ERROR) {
    CanErrExt_t b{};
    b.channel = f.channel;
    b.dlc = f.len;
    b.can_id = can_id;
    if (mflg & FLAG_RX) b.flags_ext = ERROR_EXT_RX;
    std::memcpy(b.data, f.data, min3(f.len, sizeof b.data, f.avail));
    write_obj_header(out, ERROR_OBJ_SIZE, CAN_ERROR_EXT, rel);
    store(body, b);
    return ERROR_OBJ_SIZE;
  }
  if (mflg & FLAG_FD) {
    CanFdMsg_t b{};
    b.channel = f.channel;
    b.flags = msg_flags;
    b.dlc = canfd_len_to_dlc(f.len);
    b.can_id = can_id;
    b.fd_flags = static_cast<uint8_t>(FD_FLAG_EDL | ((mflg & FLAG_BRS) ? FD_FLAG_BRS : 0) |
                                      ((mflg & FLAG_ESI) ? FD_FLAG_ESI : 0));
    const size_t valid = f.stored ? std::min(f.avail, sizeof b.data) : f.len;
    b.valid_bytes = static_cast<uint8_t>(valid);
    std::memcpy(b.data, f.data, min3(valid, sizeof b.data, f.avail));
    write_obj_header(out, FD_OBJ_SIZE, CAN_FD_MESSAGE, rel);
    store(body, b);
    return FD_OBJ_SIZE;
  }
  CanMsg_t b{};
  b.channel = f.channel;
  b.flags = msg_flags;
  b.dlc = f.len;
  b.can_id = can_id;
  std::memcpy(b.data, f.data, min3(f.len, sizeof b.data, f.avail));
  write_obj_header(out, CLASSIC_OBJ_SIZE, CAN_MESSAGE, rel);
  store(body, b);
  return CLASSIC_OBJ_SIZE;
}

namespace {

inline FrameIn frame_of(const InlineRecords& src, const char* p) {
  const DT_t h = load_header(p);
  return FrameIn{h.timestamp,
                 h.can_id,
                 h.channel,
                 h.len,
                 h.flags,
                 reinterpret_cast<const uint8_t*>(p) + RECORD_DATA_OFFSET,
                 std::min(src.data_width, MAX_DATA_WIDTH)};
}

template <class Src, class Make>
size_t fill(const Src& src, size_t first, int64_t start, uint8_t* buffer, size_t capacity,
            size_t* used, Make make) {
  size_t pos = 0;
  size_t i = first;
  const char* p = src.base + static_cast<ptrdiff_t>(first) * src.stride;
  for (; i < src.count; ++i, p += src.stride) {
    const FrameIn f = make(p);
    if (pos + object_size_for(f.flags) > capacity) break;
    pos += encode_object(buffer + pos, f, start);
  }
  *used = pos;
  return i - first;
}

}  // namespace

size_t fill_container(const InlineRecords& src, size_t first, int64_t start_timestamp,
                      uint8_t* buffer, size_t capacity, size_t* used) {
  return fill(src, first, start_timestamp, buffer, capacity, used,
              [&](const char* p) { return frame_of(src, p); });
}

size_t fill_container(const PairRecords& src, size_t first, int64_t start_timestamp,
                      uint8_t* buffer, size_t capacity, size_t* used) {
  return fill(src, first, start_timestamp, buffer, capacity, used, [&](const char* p) {
    const DT_t r = load<DT_t>(reinterpret_cast<const uint8_t*>(p));
    FrameIn f{r.timestamp, r.can_id, r.channel, r.len, r.flags, src.chunk, 0, true};
    // Payload bounds were checked by scan_pair; a failure here stores nothing.
    if (!pair_payload(src, r, &f.data, &f.avail)) f.avail = 0;
    return f;
  });
}

void container_headers(uint8_t base[16], uint8_t container[16], size_t stored_size,
                       uint32_t uncompressed_size) {
  ObjHeaderBase_t b{};
  std::memcpy(b.signature, "LOBJ", 4);
  b.header_size = static_cast<uint16_t>(sizeof(ObjHeaderBase_t));
  b.header_version = 1;
  b.object_size = static_cast<uint32_t>(CONTAINER_HEADER_TOTAL + stored_size);
  b.object_type = LOG_CONTAINER;
  LogContainer_t c{};
  c.compression_method = ZLIB_DEFLATE;
  c.uncompressed_size = uncompressed_size;
  store(base, b);
  store(container, c);
}

void file_header(uint8_t out[FILE_HEADER_DEFINED], int64_t filesize, int64_t uncompressed_size,
                 uint32_t object_count, const SystemTime_t& start, const SystemTime_t& stop) {
  FileHeader_t h{};
  std::memcpy(h.signature, "LOGG", 4);
  h.header_size = FILE_HEADER_SIZE;
  h.application_id = 5;
  h.format_major = 2;
  h.format_minor = 6;
  h.format_build = 8;
  h.format_patch = 1;
  h.filesize = filesize;
  h.uncompressed_size = uncompressed_size;
  h.object_count = object_count;
  h.start_timestamp = start;
  h.stop_timestamp = stop;
  store(out, h);
}

}  // namespace korvel::enc
