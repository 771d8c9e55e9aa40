// The object parsers: one BLF object body -> one bus record (and where its
// payload lies in the body), an event, or the object's bus and channel.
// Nothing is read past `n` bytes of the body: a record whose object declares
// more bytes than it holds keeps those it holds and is flagged BUS_CUT; an
// object too short for its fixed fields is Short (the caller skips it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "buses/records.hpp"

namespace korvel::buses {

enum class Parse {
  NotMine,  // another kind of object
  Short,    // too short for its fixed fields
  Ok,
};

struct Payload {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Each parser fills `rec` (which may be the slot in the records' storage the
// record goes to: the whole record is written, loc and timestamp zero) and
// says where the payload lies.
Parse parse_lin(uint32_t type, const uint8_t* body, size_t n, LinRecord& rec, Payload& data);

struct EthernetPayload {
  // ETHERNET_FRAME: the header put back together (addresses, VLAN tag, type)
  // comes first.
  uint8_t head[18];
  size_t head_size = 0;
  Payload data;
};
Parse parse_ethernet(uint32_t type, const uint8_t* body, size_t n, EthernetRecord& rec,
                     EthernetPayload& out);

Parse parse_flexray(uint32_t type, const uint8_t* body, size_t n, FlexRayRecord& rec,
                    Payload& data);

struct EventParsed {
  EventRecord rec;  // text fields unset
  Payload text, first, second;
  bool cut = false;  // strings declared past the object are cut short
};
Parse parse_event(uint32_t type, const uint8_t* body, size_t n, EventParsed& out);

// The bus an object type belongs to (Bus::None for the log's own objects).
Bus bus_of(uint32_t type);
// Its channel, where the body holds one (false otherwise).
bool channel_of(uint32_t type, const uint8_t* body, size_t n, uint16_t& channel);

// The name of a bus type ("CAN", "LIN", ...), "" for None and unknown ones.
const char* bus_name(Bus bus);
// The bus of an APP_TEXT channel information's bus type byte.
Bus bus_from_app_text(uint32_t code);

}  // namespace korvel::buses
