#include "blf/scanner.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "blf/format.hpp"

namespace korvel {

using namespace blf;

namespace {

// Payload room kept free past the write position, so fixed-size copies of
// whole data fields (faster than exact-length ones) stay inside the buffer.
constexpr size_t PAYLOAD_SLACK = 256;

// Record fields of a classic frame besides timestamp and payload locator.
inline void classic_fields(const CanMsg_t& m, DT_t& rec) {
  rec.can_id = m.can_id & CAN_ID_MASK;
  rec.is64 = 0;
  rec.channel = static_cast<uint8_t>(m.channel);
  rec.len = m.dlc;
  uint8_t flags = 0;
  if (m.flags & MSG_FLAG_RTR) flags |= FLAG_REMOTE;
  if (!(m.flags & MSG_FLAG_TX)) flags |= FLAG_RX;
  if (m.can_id & CAN_ID_EXTENDED) flags |= FLAG_EXTENDED;
  rec.flags = flags;
}

// Decodes one frame object whose headers and body lie complete in
// [obj, obj + object_size). Returns false for types that carry no frame;
// `stored_channel` is the channel as the object stores it.
inline bool decode_frame(const uint8_t* obj, uint32_t object_size, uint32_t object_type,
                         uint32_t header_bytes, int64_t ts, bool all_errors, FrameSink& sink,
                         uint16_t& stored_channel) {
  const uint8_t* body = obj + header_bytes;
  const size_t body_bytes = object_size - header_bytes;
  DT_t rec;
  rec.timestamp = ts;
  const uint8_t* src;
  size_t n;
  size_t field;  // bytes of the body's data field that may be copied whole
  uint32_t id;
  switch (object_type) {
    case CAN_MESSAGE:
    case CAN_MESSAGE2: {
      auto m = load<CanMsg_t>(body);
      id = m.can_id;
      stored_channel = m.channel;
      classic_fields(m, rec);
      src = body + offsetof(CanMsg_t, data);
      field = sizeof(m.data);
      n = std::min<size_t>(m.dlc, field);
      break;
    }
    case CAN_ERROR_EXT: {
      auto m = load<CanErrExt_t>(body);
      id = m.can_id;
      stored_channel = m.channel;
      rec.is64 = 0;
      rec.channel = static_cast<uint8_t>(m.channel);
      rec.len = m.dlc;
      rec.flags = FLAG_ERROR;
      if (m.flags_ext & ERROR_EXT_RX) rec.flags |= FLAG_RX;
      src = body + offsetof(CanErrExt_t, data);
      field = sizeof(m.data);
      n = std::min<size_t>(m.dlc, field);
      break;
    }
    case CAN_FD_MESSAGE: {
      auto m = load<CanFdMsg_t>(body);
      id = m.can_id;
      stored_channel = m.channel;
      rec.is64 = 1;
      rec.channel = static_cast<uint8_t>(m.channel);
      rec.len = canfd_dlc_to_len(m.dlc);
      rec.flags = 0;
      if (m.flags & MSG_FLAG_RTR) rec.flags |= FLAG_REMOTE;
      if (!(m.flags & MSG_FLAG_TX)) rec.flags |= FLAG_RX;
      if (m.fd_flags & FD_FLAG_EDL) rec.flags |= FLAG_FD;
      if (m.fd_flags & FD_FLAG_BRS) rec.flags |= FLAG_BRS;
      if (m.fd_flags & FD_FLAG_ESI) rec.flags |= FLAG_ESI;
      src = body + offsetof(CanFdMsg_t, data);
      field = sizeof(m.data);
      n = std::min<size_t>(m.valid_bytes, field);
      break;
    }
    case CAN_FD_MESSAGE_64: {
      auto m = load<CanFdMsg64_t>(body);
      id = m.can_id;
      rec.is64 = 1;
      rec.channel = m.channel;
      rec.len = canfd_dlc_to_len(m.dlc);
      rec.flags = 0;
      if (m.direction == 0) rec.flags |= FLAG_RX;
      if (m.flags & FD64_FLAG_EDL) rec.flags |= FLAG_FD;
      if (m.flags & FD64_FLAG_BRS) rec.flags |= FLAG_BRS;
      if (m.flags & FD64_FLAG_ESI) rec.flags |= FLAG_ESI;
      if (m.flags & FD64_FLAG_RTR) rec.flags |= FLAG_REMOTE;
      src = body + sizeof(CanFdMsg64_t);
      // Some loggers declare more valid bytes than the object carries.
      n = std::min<size_t>(m.valid_bytes, body_bytes - sizeof(CanFdMsg64_t));
      field = n;
      break;
    }
    case CAN_ERROR: {
      // A channel and a length; objects too short for them are skipped.
      if (!all_errors || body_bytes < sizeof(CanErr_t)) return false;
      auto m = load<CanErr_t>(body);
      id = 0;
      stored_channel = m.channel;
      rec.is64 = 0;
      rec.channel = static_cast<uint8_t>(m.channel);
      rec.len = static_cast<uint8_t>(std::min<uint16_t>(m.length, 255));
      rec.flags = FLAG_ERROR;
      src = body;
      n = field = 0;
      break;
    }
    case CAN_FD_ERROR_64: {
      if (!all_errors || body_bytes < sizeof(CanFdErr64_t)) return false;
      auto m = load<CanFdErr64_t>(body);
      id = m.can_id;
      rec.is64 = 1;
      rec.channel = m.channel;
      rec.flags = FLAG_ERROR;
      if (m.error_code_ext & ERROR_EXT_RX) rec.flags |= FLAG_RX;
      if (m.ext_flags & FDERR_FLAG_FDF) rec.flags |= FLAG_FD;
      if (m.ext_flags & FDERR_FLAG_BRS) rec.flags |= FLAG_BRS;
      if (m.ext_flags & FDERR_FLAG_ESI) rec.flags |= FLAG_ESI;
      rec.len = (rec.flags & FLAG_FD) ? canfd_dlc_to_len(m.dlc) : m.dlc;
      src = body + sizeof(CanFdErr64_t);
      n = std::min<size_t>({m.valid_bytes, size_t{64}, body_bytes - sizeof(CanFdErr64_t)});
      field = n;
      break;
    }
    default:
      return false;
  }
  rec.can_id = id & CAN_ID_MASK;
  if (id & CAN_ID_EXTENDED) rec.flags |= FLAG_EXTENDED;

  if (sink.record_count >= sink.record_capacity ||
      sink.payload_size + PAYLOAD_SLACK > sink.payload_capacity)
    sink.grow(sink.record_count + 1, sink.payload_size + PAYLOAD_SLACK);
  rec.loc = make_loc(sink.payload_size, n);
  // Copy the whole field when it is one of the fixed sizes; the bytes past n
  // are overwritten by the next payload or cut by the final trim.
  uint8_t* dst = sink.payload + sink.payload_size;
  if (field == 8)
    std::memcpy(dst, src, 8);
  else if (field == 64)
    std::memcpy(dst, src, 64);
  else
    std::memcpy(dst, src, n);
  sink.payload_size += n;
  std::memcpy(sink.records + sink.record_count, &rec, sizeof(rec));
  sink.record_count += 1;
  return true;
}

}  // namespace

// Most objects of most logs: version-1 classic frames back to back. Same
// outcome as the general path of scan(), with the header checks and the
// per-type dispatch folded away and the sink's counters kept in registers
// (stores through the payload pointer would otherwise force them to be
// reloaded for every frame). Stops at the first object it does not take, or
// when the sink needs to grow; returns where the walk stands.
size_t InnerScanner::scan_classic_run(const uint8_t* data, size_t llen, size_t pos, size_t stop_at,
                                      FrameSink& sink, ScanResult& res) const {
  constexpr size_t MIN_SIZE = OBJ_HEADER_V1_TOTAL + sizeof(CanMsg_t);
  if (sink.payload_capacity < PAYLOAD_SLACK) return pos;
  DT_t* const records = sink.records;
  size_t count = sink.record_count;
  const size_t record_capacity = sink.record_capacity;
  uint8_t* const payload = sink.payload;
  size_t payload_size = sink.payload_size;
  const size_t payload_limit = sink.payload_capacity - PAYLOAD_SLACK;
  const int64_t start = start_timestamp_;
  while (pos < stop_at && llen - pos >= MIN_SIZE && count < record_capacity &&
         payload_size <= payload_limit) {
    const uint8_t* obj = data + pos;
    auto base = load<ObjHeaderBase_t>(obj);
    if (load<uint32_t>(obj) != OBJ_SIGNATURE || base.header_version != 1 ||
        (base.object_type != CAN_MESSAGE && base.object_type != CAN_MESSAGE2) ||
        base.object_size < MIN_SIZE || base.object_size > llen - pos)
      break;
    auto ext = load<ObjHeaderV1_t>(obj + sizeof(ObjHeaderBase_t));
    auto m = load<CanMsg_t>(obj + OBJ_HEADER_V1_TOTAL);
    DT_t rec;
    rec.timestamp = record_timestamp(ext.timestamp, ext.flags, start, exact_);
    classic_fields(m, rec);
    if (__builtin_expect(m.channel > 0xFF, 0)) note_wide(m.channel, rec.timestamp, res);
    const size_t n = std::min<size_t>(m.dlc, sizeof(m.data));
    rec.loc = make_loc(payload_size, n);
    // The whole field; bytes past n are overwritten by the next payload or
    // cut by the final trim.
    std::memcpy(payload + payload_size, m.data, sizeof(m.data));
    payload_size += n;
    std::memcpy(records + count, &rec, sizeof(rec));
    ++count;
    pos += base.object_size;
  }
  sink.record_count = count;
  sink.payload_size = payload_size;
  return pos;
}

ScanResult InnerScanner::scan(const uint8_t* data, size_t llen, FrameSink& sink,
                              size_t stop_at) const {
  ScanResult res;
  size_t pos = 0;

  while (pos < stop_at) {
    if (frames_) pos = scan_classic_run(data, llen, pos, stop_at, sink, res);
    if (pos >= stop_at) break;
    const size_t next = next_object(data, llen, pos);
    if (next == NO_OBJECT) {
      if (may_continue(data, llen, pos)) break;
      res.status = ScanStatus::NotFound;
      res.offset = pos;
      return res;
    }
    if (next >= stop_at || next + sizeof(ObjHeaderBase_t) > llen) break;
    auto base = load<ObjHeaderBase_t>(data + next);

    // Unknown versions are skipped whole: their base header must fit.
    const uint32_t headers = header_bytes(base.header_version)
                                 ? header_bytes(base.header_version)
                                 : static_cast<uint32_t>(sizeof(ObjHeaderBase_t));
    // An undersized object would make the scan stand still or read outside it.
    uint32_t required = min_object_size(base.object_type, headers);
    if (base.object_size < required) {
      res.status = ScanStatus::ObjectTooSmall;
      res.offset = next;
      res.object_size = base.object_size;
      res.object_type = base.object_type;
      res.required = required;
      return res;
    }
    size_t max_pos = next + base.object_size;
    if (max_pos > llen) break;

    if (base.header_version != 1 && base.header_version != 2) {
      res.unknown_versions.push_back(base.header_version);
      pos = max_pos;
      continue;
    }
    auto ext = load<ObjHeaderV1_t>(data + next + sizeof(ObjHeaderBase_t));
    int64_t ts = record_timestamp(ext.timestamp, ext.flags, start_timestamp_, exact_);
    uint16_t channel = 0;
    if (frames_ && decode_frame(data + next, base.object_size, base.object_type, headers, ts,
                                all_errors_, sink, channel)) {
      if (__builtin_expect(channel > 0xFF, 0)) note_wide(channel, ts, res);
    } else if (sink.others) {
      sink.others->object(data + next, base.object_size, base.object_type, headers, ts);
    }
    pos = max_pos;
  }
  res.consumed = pos;
  return res;
}

int64_t InnerScanner::timestamp_of(const uint8_t* obj) const {
  auto ext = load<ObjHeaderV1_t>(obj + sizeof(ObjHeaderBase_t));
  return record_timestamp(ext.timestamp, ext.flags, start_timestamp_, exact_);
}

}  // namespace korvel
