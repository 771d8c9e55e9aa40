// Records of the other buses as they travel through NumPy arrays (kv.LIN,
// kv.ETHERNET, kv.FLEXRAY), with payload bytes found by `loc` as in DT, and
// the log's events. Layouts match the dtypes byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::buses {

#pragma pack(push, 1)
struct LinRecord {
  int64_t timestamp;  // ns since the Unix epoch
  uint16_t channel;
  uint16_t checksum;
  uint8_t id;
  uint8_t dlc;
  uint8_t flags;        // LIN_*
  uint8_t object_type;  // the BLF object it came from
  uint64_t loc;         // payload offset | stored count << 48
};

struct EthernetRecord {
  int64_t timestamp;
  uint16_t channel;
  uint16_t hardware_channel;
  uint16_t length;  // frame length the object declares
  uint8_t flags;    // ETH_*
  uint8_t object_type;
  uint64_t loc;  // the frame from its destination address
};

struct FlexRayRecord {
  int64_t timestamp;
  uint16_t channel;
  uint16_t slot;  // frame identifier
  uint8_t cycle;
  uint8_t object_type;
  uint16_t flags;  // FR_*
  uint64_t loc;
};
#pragma pack(pop)

static_assert(sizeof(LinRecord) == 24);
static_assert(offsetof(LinRecord, flags) == 14);
static_assert(offsetof(LinRecord, loc) == 16);
static_assert(sizeof(EthernetRecord) == 24);
static_assert(offsetof(EthernetRecord, flags) == 14);
static_assert(sizeof(FlexRayRecord) == 24);
static_assert(offsetof(FlexRayRecord, flags) == 14);

// Flag bits shared by the three records.
constexpr uint8_t BUS_CUT = 0x01;  // the object declares more bytes than it holds
constexpr uint8_t BUS_RX = 0x04;   // received (not sent)

// LinRecord::flags.
constexpr uint8_t LIN_ERROR = 0x10;     // not a frame: an error object or a bus event
constexpr uint8_t LIN_CHECKSUM = 0x20;  // checksum error
constexpr uint8_t LIN_WAKEUP = 0x40;    // wake-up event
constexpr uint8_t LIN_SLEEP = 0x80;     // sleep event

// FlexRayRecord::flags.
constexpr uint16_t FR_CHANNEL_A = 0x0002;
constexpr uint16_t FR_CHANNEL_B = 0x0008;
constexpr uint16_t FR_NULL_FRAME = 0x0010;
constexpr uint16_t FR_SYNC = 0x0020;
constexpr uint16_t FR_STARTUP = 0x0040;
constexpr uint16_t FR_PREAMBLE = 0x0080;  // payload preamble indicator
constexpr uint16_t FR_ERROR = 0x0100;

// Kinds of events.
enum class EventKind : uint8_t {
  Marker,
  Comment,
  AppText,
  Trigger,
  TriggerCondition,
  SystemVariable,
  EnvironmentVariable,
  Overrun,
};

// Bus types as APP_TEXT's channel information and the channel list name them.
enum class Bus : uint8_t {
  None = 0,
  Can = 1,
  Lin = 5,
  Most = 6,
  FlexRay = 7,
  J1708 = 9,
  Ethernet = 11,
  Wlan = 13,
  Afdx = 14,
  A429 = 15,
  KLine = 16,
};

// Text fields of an event, as offsets into the events' text bytes.
struct TextRef {
  uint64_t offset = 0;
  uint32_t size = 0;
};

struct EventRecord {
  int64_t timestamp = 0;
  EventKind kind = EventKind::Comment;
  Bus bus = Bus::None;
  uint8_t value_type = 0;  // variables: the system variable type, or 8 + ENV object - 6
  int32_t channel = -1;    // -1: none
  uint32_t detail = 0;     // app text source; trigger flags or state
  // text, then per kind: marker group and description; app text channel
  // info database and channel name; a variable's name and its data bytes.
  TextRef text, first, second;
};

// One row of the channel list.
struct ChannelRow {
  Bus bus = Bus::None;
  uint16_t channel = 0;
  uint64_t objects = 0;
  int64_t first = 0;
  int64_t last = 0;
};

}  // namespace korvel::buses
