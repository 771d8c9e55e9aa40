#include "buses/objects.hpp"

#include <algorithm>
#include <cstring>

#include "blf/format.hpp"

namespace korvel::buses {

using blf::load;
namespace obj = blf::obj;

namespace {

// `declared` bytes at `at` of a body of `n`: those that are there; `cut`
// when fewer.
Payload take(const uint8_t* body, size_t n, size_t at, size_t declared, bool& cut) {
  if (at > n) at = n;
  const size_t have = std::min(declared, n - at);
  if (have < declared) cut = true;
  return Payload{body + at, have};
}

void lin_frame(LinRecord& r, uint16_t channel, uint8_t id, uint8_t dlc, uint16_t crc, uint8_t dir) {
  r.channel = channel;
  r.id = id;
  r.dlc = dlc;
  r.checksum = crc;
  if (dir == 0) r.flags |= BUS_RX;
}

// The data field of a LIN object: dlc bytes of its 8.
Payload lin_data(const uint8_t* field, uint8_t dlc, uint8_t& flags) {
  if (dlc > 8) flags |= BUS_CUT;
  return Payload{field, std::min<size_t>(dlc, 8)};
}

uint16_t saturate16(size_t v) { return static_cast<uint16_t>(std::min<size_t>(v, 0xFFFF)); }

}  // namespace

Parse parse_lin(uint32_t type, const uint8_t* body, size_t n, LinRecord& r, Payload& data) {
  r = LinRecord{};
  r.object_type = static_cast<uint8_t>(type);
  data = Payload{};
  switch (type) {
    case obj::LIN_MESSAGE:
    case obj::LIN_CRC_ERROR: {
      if (n < sizeof(blf::LinMessage_t)) return Parse::Short;
      auto m = load<blf::LinMessage_t>(body);
      lin_frame(r, m.channel, m.id, m.dlc, m.crc, m.dir);
      if (type == obj::LIN_CRC_ERROR) r.flags |= LIN_ERROR | LIN_CHECKSUM;
      data = lin_data(body + offsetof(blf::LinMessage_t, data), m.dlc, r.flags);
      return Parse::Ok;
    }
    case obj::LIN_RCV_ERROR:
    case obj::LIN_SND_ERROR: {
      // The send error's body ends where the receive error's reasons begin.
      if (n < 8) return Parse::Short;
      r.channel = load<uint16_t>(body);  // channel, id and dlc as in LIN_MESSAGE
      r.id = body[2];
      r.dlc = body[3];
      r.flags = LIN_ERROR | (type == obj::LIN_RCV_ERROR ? BUS_RX : 0);
      return Parse::Ok;
    }
    case obj::LIN_SYN_ERROR:
    case obj::LIN_SLEEP:
    case obj::LIN_WAKEUP: {
      if (n < sizeof(blf::LinChannelEvent_t)) return Parse::Short;
      auto e = load<blf::LinChannelEvent_t>(body);
      r.channel = e.channel;
      r.flags = LIN_ERROR;
      if (type == obj::LIN_SLEEP) r.flags |= LIN_SLEEP;
      if (type == obj::LIN_WAKEUP) r.flags |= LIN_WAKEUP | (e.b ? BUS_RX : 0);
      return Parse::Ok;
    }
    case obj::LIN_MESSAGE2: {
      if (n < sizeof(blf::LinMessage2_t)) return Parse::Short;
      auto m = load<blf::LinMessage2_t>(body);
      const auto& d = m.event.descriptor;
      lin_frame(r, d.synch_field_event.bus_event.channel, d.id, d.dlc, m.crc, m.dir);
      data = lin_data(body + offsetof(blf::LinMessage2_t, data), d.dlc, r.flags);
      return Parse::Ok;
    }
    case obj::LIN_CRC_ERROR2: {
      if (n < sizeof(blf::LinCrcError2_t)) return Parse::Short;
      auto m = load<blf::LinCrcError2_t>(body);
      const auto& d = m.event.descriptor;
      lin_frame(r, d.synch_field_event.bus_event.channel, d.id, d.dlc, m.crc, m.dir);
      r.flags |= LIN_ERROR | LIN_CHECKSUM;
      data = lin_data(body + offsetof(blf::LinCrcError2_t, data), d.dlc, r.flags);
      return Parse::Ok;
    }
    case obj::LIN_RCV_ERROR2: {
      if (n < sizeof(blf::LinReceiveError2_t)) return Parse::Short;
      auto m = load<blf::LinReceiveError2_t>(body);
      const auto& d = m.event.descriptor;
      r.channel = d.synch_field_event.bus_event.channel;
      r.id = d.id;
      r.dlc = d.dlc;
      r.flags = LIN_ERROR | BUS_RX;
      if (m.has_data_bytes)
        data = lin_data(body + offsetof(blf::LinReceiveError2_t, data), d.dlc, r.flags);
      return Parse::Ok;
    }
    case obj::LIN_SND_ERROR2: {
      if (n < sizeof(blf::LinMessageDescriptor_t)) return Parse::Short;
      auto d = load<blf::LinMessageDescriptor_t>(body);
      r.channel = d.synch_field_event.bus_event.channel;
      r.id = d.id;
      r.dlc = d.dlc;
      r.flags = LIN_ERROR;
      return Parse::Ok;
    }
    case obj::LIN_SYN_ERROR2: {
      if (n < sizeof(blf::LinSynchFieldEvent_t)) return Parse::Short;
      r.channel = load<blf::LinBusEvent_t>(body).channel;
      r.flags = LIN_ERROR;
      return Parse::Ok;
    }
    case obj::LIN_WAKEUP2: {
      if (n < sizeof(blf::LinWakeupEvent2_t)) return Parse::Short;
      auto e = load<blf::LinWakeupEvent2_t>(body);
      r.channel = e.bus_event.channel;
      r.flags = LIN_ERROR | LIN_WAKEUP | (e.external ? BUS_RX : 0);
      return Parse::Ok;
    }
    default:
      return Parse::NotMine;
  }
}

Parse parse_ethernet(uint32_t type, const uint8_t* body, size_t n, EthernetRecord& r,
                     EthernetPayload& out) {
  r = EthernetRecord{};
  r.object_type = static_cast<uint8_t>(type);
  out.head_size = 0;
  out.data = Payload{};
  bool cut = false;
  switch (type) {
    case obj::ETHERNET_FRAME: {
      if (n < sizeof(blf::EthernetFrame_t)) return Parse::Short;
      auto e = load<blf::EthernetFrame_t>(body);
      r.channel = e.channel;
      if (e.dir == 0) r.flags |= BUS_RX;
      // The wire's order: addresses, the VLAN tag when there is one, the
      // type, big-endian.
      uint8_t* h = out.head;
      std::memcpy(h, e.destination_address, 6);
      std::memcpy(h + 6, e.source_address, 6);
      size_t k = 12;
      auto put16 = [&](uint16_t v) {
        h[k++] = static_cast<uint8_t>(v >> 8);
        h[k++] = static_cast<uint8_t>(v);
      };
      if (e.tpid) {
        put16(e.tpid);
        put16(e.tci);
      }
      put16(e.type);
      out.head_size = k;
      out.data = take(body, n, sizeof(blf::EthernetFrame_t), e.payload_length, cut);
      r.length = saturate16(k + e.payload_length);
      break;
    }
    case obj::ETHERNET_FRAME_EX:
    case obj::ETHERNET_FRAME_FORWARDED: {
      if (n < sizeof(blf::EthernetFrameEx_t)) return Parse::Short;
      auto e = load<blf::EthernetFrameEx_t>(body);
      r.channel = e.channel;
      r.hardware_channel = e.hardware_channel;
      if (e.dir == 0) r.flags |= BUS_RX;
      out.data = take(body, n, sizeof(blf::EthernetFrameEx_t), e.frame_length, cut);
      r.length = e.frame_length;
      break;
    }
    default:
      return Parse::NotMine;
  }
  if (cut) r.flags |= BUS_CUT;
  return Parse::Ok;
}

Parse parse_flexray(uint32_t type, const uint8_t* body, size_t n, FlexRayRecord& r, Payload& data) {
  r = FlexRayRecord{};
  r.object_type = static_cast<uint8_t>(type);
  data = Payload{};
  bool cut = false;
  switch (type) {
    case obj::FR_RCVMESSAGE:
    case obj::FR_RCVMESSAGE_EX: {
      const bool ex = type == obj::FR_RCVMESSAGE_EX;
      const size_t fixed =
          ex ? sizeof(blf::FlexRayVFrReceiveMsgEx_t) : sizeof(blf::FlexRayVFrReceiveMsg_t);
      if (n < fixed) return Parse::Short;
      auto m = load<blf::FlexRayVFrReceiveMsg_t>(body);
      r.channel = m.channel;
      r.slot = m.frame_id;
      r.cycle = static_cast<uint8_t>(m.cycle);
      if ((m.dir & 0xFF) == 0) r.flags |= BUS_RX;
      if (m.channel_mask & 1) r.flags |= FR_CHANNEL_A;
      if (m.channel_mask & 2) r.flags |= FR_CHANNEL_B;
      if (m.frame_flags & 0x01) r.flags |= FR_NULL_FRAME;
      if (m.frame_flags & 0x04) r.flags |= FR_SYNC;
      if (m.frame_flags & 0x08) r.flags |= FR_STARTUP;
      if (m.frame_flags & 0x10) r.flags |= FR_PREAMBLE;
      if (m.frame_flags & 0x40) r.flags |= FR_ERROR;
      // The plain object has room for 254 data bytes.
      size_t declared = m.data_count;
      if (!ex && declared > 254) {
        declared = 254;
        cut = true;
      }
      data = take(body, n, fixed, declared, cut);
      break;
    }
    case obj::FLEXRAY_DATA: {
      if (n < sizeof(blf::FlexRayData_t)) return Parse::Short;
      auto m = load<blf::FlexRayData_t>(body);
      r.channel = m.channel;
      r.slot = m.message_id;
      r.cycle = m.mux;
      if (m.dir == 0) r.flags |= BUS_RX;
      r.flags |= m.channel ? FR_CHANNEL_B : FR_CHANNEL_A;
      size_t declared = m.len;
      if (declared > 12) {
        declared = 12;
        cut = true;
      }
      data = take(body, n, sizeof(blf::FlexRayData_t), declared, cut);
      break;
    }
    case obj::FLEXRAY_MESSAGE: {
      if (n < sizeof(blf::FlexRayV6Message_t)) return Parse::Short;
      auto m = load<blf::FlexRayV6Message_t>(body);
      r.channel = m.channel;
      r.slot = m.frame_id;
      r.cycle = m.cycle;
      if (m.dir & 0x01) r.flags |= BUS_RX;  // this object's direction is a bit set
      r.flags |= m.channel ? FR_CHANNEL_B : FR_CHANNEL_A;
      if (m.frame_state & 0x01) r.flags |= FR_PREAMBLE;
      if (m.frame_state & 0x02) r.flags |= FR_SYNC;
      if (m.frame_state & 0x08) r.flags |= FR_NULL_FRAME;
      if (m.frame_state & 0x10) r.flags |= FR_STARTUP;
      size_t declared = m.length;
      if (declared > 64) {
        declared = 64;
        cut = true;
      }
      data = take(body, n, sizeof(blf::FlexRayV6Message_t), declared, cut);
      break;
    }
    default:
      return Parse::NotMine;
  }
  if (cut) r.flags |= BUS_CUT;
  return Parse::Ok;
}

namespace {

// Text up to its first zero byte: writers store strings in fixed buffers
// and count the whole buffer.
Payload trimmed(Payload p) {
  const void* z = p.size ? std::memchr(p.data, 0, p.size) : nullptr;
  if (z) p.size = static_cast<size_t>(static_cast<const uint8_t*>(z) - p.data);
  return p;
}

// Strings one after the other from `at`.
struct Strings {
  const uint8_t* body;
  size_t n;
  size_t at;
  bool cut = false;
  Payload next(size_t declared) {
    Payload p = take(body, n, at, declared, cut);
    at = std::min(n, at + p.size);
    return p;
  }
};

}  // namespace

Parse parse_event(uint32_t type, const uint8_t* body, size_t n, EventParsed& out) {
  EventRecord& r = out.rec;
  r = EventRecord{};
  out.text = out.first = out.second = Payload{};
  out.cut = false;
  switch (type) {
    case obj::GLOBAL_MARKER: {
      if (n < sizeof(blf::GlobalMarker_t)) return Parse::Short;
      auto m = load<blf::GlobalMarker_t>(body);
      r.kind = EventKind::Marker;
      r.detail = m.commented_event_type;
      Strings s{body, n, sizeof(m)};
      out.first = trimmed(s.next(m.group_name_length));
      out.text = trimmed(s.next(m.marker_name_length));
      out.second = trimmed(s.next(m.description_length));
      out.cut = s.cut;
      return Parse::Ok;
    }
    case obj::EVENT_COMMENT: {
      if (n < sizeof(blf::EventComment_t)) return Parse::Short;
      auto m = load<blf::EventComment_t>(body);
      r.kind = EventKind::Comment;
      r.detail = m.commented_event_type;
      Strings s{body, n, sizeof(m)};
      out.text = trimmed(s.next(m.text_length));
      out.cut = s.cut;
      return Parse::Ok;
    }
    case obj::APP_TEXT: {
      if (n < sizeof(blf::AppText_t)) return Parse::Short;
      auto m = load<blf::AppText_t>(body);
      r.kind = EventKind::AppText;
      r.detail = m.source;
      Strings s{body, n, sizeof(m)};
      out.text = trimmed(s.next(m.text_length));
      out.cut = s.cut;
      if (m.source == 1) {
        // Database channel information: "<database>;<channel name>", the
        // channel and its bus type in the reserved word.
        r.channel = static_cast<int32_t>((m.reserved1 >> 8) & 0xFF);
        r.bus = bus_from_app_text((m.reserved1 >> 16) & 0xFF);
        const uint8_t* t = out.text.data;
        const size_t len = out.text.size;
        const uint8_t* semi = len ? static_cast<const uint8_t*>(std::memchr(t, ';', len)) : nullptr;
        const size_t a = semi ? static_cast<size_t>(semi - t) : len;
        out.first = Payload{t, a};
        if (semi) {
          const uint8_t* rest = semi + 1;
          const size_t left = len - a - 1;
          const uint8_t* end =
              left ? static_cast<const uint8_t*>(std::memchr(rest, ';', left)) : nullptr;
          out.second = Payload{rest, end ? static_cast<size_t>(end - rest) : left};
        }
      }
      return Parse::Ok;
    }
    case obj::APP_TRIGGER: {
      if (n < sizeof(blf::AppTrigger_t)) return Parse::Short;
      auto m = load<blf::AppTrigger_t>(body);
      r.kind = EventKind::Trigger;
      r.channel = m.channel;
      r.detail = m.flags;
      return Parse::Ok;
    }
    case obj::TRIGGER_CONDITION: {
      if (n < sizeof(blf::TriggerCondition_t)) return Parse::Short;
      auto m = load<blf::TriggerCondition_t>(body);
      r.kind = EventKind::TriggerCondition;
      r.detail = m.state;
      Strings s{body, n, sizeof(m)};
      out.first = trimmed(s.next(m.trigger_block_name_length));
      out.text = trimmed(s.next(m.trigger_condition_length));
      out.cut = s.cut;
      return Parse::Ok;
    }
    case obj::ENV_INTEGER:
    case obj::ENV_DOUBLE:
    case obj::ENV_STRING:
    case obj::ENV_DATA: {
      if (n < sizeof(blf::EnvironmentVariable_t)) return Parse::Short;
      auto m = load<blf::EnvironmentVariable_t>(body);
      r.kind = EventKind::EnvironmentVariable;
      r.value_type = static_cast<uint8_t>(8 + type - obj::ENV_INTEGER);
      Strings s{body, n, sizeof(m)};
      out.first = trimmed(s.next(m.name_length));
      out.second = s.next(m.data_length);
      out.cut = s.cut;
      return Parse::Ok;
    }
    case obj::SYS_VARIABLE: {
      if (n < sizeof(blf::SystemVariable_t)) return Parse::Short;
      auto m = load<blf::SystemVariable_t>(body);
      r.kind = EventKind::SystemVariable;
      r.value_type = static_cast<uint8_t>(std::min<uint32_t>(m.type, 255));
      Strings s{body, n, sizeof(m)};
      out.first = trimmed(s.next(m.name_length));
      out.second = s.next(m.data_length);
      out.cut = s.cut;
      return Parse::Ok;
    }
    case obj::OVERRUN_ERROR: {
      if (n < sizeof(blf::DriverOverrun_t)) return Parse::Short;
      auto m = load<blf::DriverOverrun_t>(body);
      r.kind = EventKind::Overrun;
      r.channel = m.channel;
      r.bus = bus_from_app_text(m.bus_type);
      return Parse::Ok;
    }
    default:
      return Parse::NotMine;
  }
}

Bus bus_of(uint32_t t) {
  switch (t) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 31:
    case 44:
    case 73:
    case 74:
    case 86:
    case 100:
    case 101:
    case 104:
      return Bus::Can;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 42:
    case 43:
    case 54:
    case 57:
    case 58:
    case 59:
    case 60:
    case 61:
    case 62:
    case 63:
    case 64:
    case 75:
    case 87:
    case 88:
    case 89:
    case 105:
      return Bus::Lin;
    case 22:
    case 23:
    case 24:
    case 25:
    case 32:
    case 33:
    case 34:
    case 35:
    case 36:
    case 37:
    case 38:
    case 39:
    case 67:
    case 68:
    case 69:
    case 70:
    case 76:
    case 77:
    case 78:
    case 79:
    case 80:
    case 81:
    case 82:
    case 83:
    case 84:
    case 85:
    case 95:
      return Bus::Most;
    case 29:
    case 30:
    case 40:
    case 41:
    case 45:
    case 47:
    case 48:
    case 49:
    case 50:
    case 66:
      return Bus::FlexRay;
    case 71:
    case 102:
    case 103:
    case 114:
    case 120:
    case 121:
    case 122:
    case 123:
    case 133:
      return Bus::Ethernet;
    case 55:
    case 56:
      return Bus::J1708;
    case 93:
    case 94:
      return Bus::Wlan;
    default:
      return Bus::None;
  }
}

bool channel_of(uint32_t t, const uint8_t* body, size_t n, uint16_t& channel) {
  size_t at = 0;
  bool byte = false;
  switch (t) {
    case 57:
    case 58:
    case 59:
    case 60:
    case 61:
    case 62:
    case 63:
    case 75:
    case 87:
    case 88:
    case 89:
    case 105:
      at = offsetof(blf::LinBusEvent_t, channel);  // objects that begin with a LinBusEvent
      break;
    case 101:
    case 104:
      byte = true;
      break;
    case 71:
      at = offsetof(blf::EthernetFrame_t, channel);
      break;
    case 102:
      at = 2;
      break;
    case 120:
    case 121:
    case 122:
    case 123:
      at = offsetof(blf::EthernetFrameEx_t, channel);
      break;
    default:
      break;
  }
  if (n < at + (byte ? 1 : 2)) return false;
  channel = byte ? body[at] : load<uint16_t>(body + at);
  return true;
}

const char* bus_name(Bus bus) {
  switch (bus) {
    case Bus::Can:
      return "CAN";
    case Bus::Lin:
      return "LIN";
    case Bus::Most:
      return "MOST";
    case Bus::FlexRay:
      return "FLEXRAY";
    case Bus::J1708:
      return "J1708";
    case Bus::Ethernet:
      return "ETHERNET";
    case Bus::Wlan:
      return "WLAN";
    case Bus::Afdx:
      return "AFDX";
    case Bus::A429:
      return "A429";
    case Bus::KLine:
      return "KLINE";
    case Bus::None:
      break;
  }
  return "";
}

Bus bus_from_app_text(uint32_t code) {
  switch (code) {
    case 1:
      return Bus::Can;
    case 5:
      return Bus::Lin;
    case 6:
      return Bus::Most;
    case 7:
      return Bus::FlexRay;
    case 9:
      return Bus::J1708;
    case 10:  // as some writers number it
    case 11:
      return Bus::Ethernet;
    case 13:
      return Bus::Wlan;
    case 14:
      return Bus::Afdx;
    default:
      return Bus::None;
  }
}

}  // namespace korvel::buses
