// On-disk layouts of the BLF (Binary Logging Format) as this library reads and
// writes them. All fields are little-endian and every struct is packed; the
// static_asserts below pin sizes and offsets to the byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel::blf {

constexpr uint32_t FILE_SIGNATURE = 0x47474F4Cu;  // "LOGG"
constexpr uint32_t OBJ_SIGNATURE = 0x4A424F4Cu;   // "LOBJ"
constexpr uint32_t FILE_HEADER_SIZE = 144;        // header_size of written files
constexpr uint32_t FILE_HEADER_DEFINED = 72;      // bytes of the header with a meaning

// Object types.
constexpr uint32_t CAN_MESSAGE = 1;
constexpr uint32_t CAN_ERROR = 2;
constexpr uint32_t LOG_CONTAINER = 10;
constexpr uint32_t CAN_ERROR_EXT = 73;
constexpr uint32_t CAN_MESSAGE2 = 86;
constexpr uint32_t CAN_FD_MESSAGE = 100;
constexpr uint32_t CAN_FD_MESSAGE_64 = 101;
constexpr uint32_t CAN_FD_ERROR_64 = 104;

// Container compression methods.
constexpr uint16_t NO_COMPRESSION = 0;
constexpr uint16_t ZLIB_DEFLATE = 2;

// Object header timestamp units (ObjHeaderV1_t::flags).
constexpr uint32_t TS_UNIT_10US = 1;
constexpr uint32_t TS_UNIT_1NS = 2;

constexpr uint32_t CAN_ID_EXTENDED = 0x80000000u;  // bit 31 of a stored identifier
constexpr uint32_t CAN_ID_MASK = 0x1FFFFFFFu;

// CanMsg_t / CanFdMsg_t flags byte.
constexpr uint8_t MSG_FLAG_TX = 0x01;   // direction: 1 = transmitted
constexpr uint8_t MSG_FLAG_RTR = 0x80;  // remote frame

// CanFdMsg_t fd_flags byte.
constexpr uint8_t FD_FLAG_EDL = 0x01;
constexpr uint8_t FD_FLAG_BRS = 0x02;
constexpr uint8_t FD_FLAG_ESI = 0x04;

// CanFdMsg64_t flags word.
constexpr uint32_t FD64_FLAG_RTR = 0x0010;
constexpr uint32_t FD64_FLAG_EDL = 0x1000;
constexpr uint32_t FD64_FLAG_BRS = 0x2000;
constexpr uint32_t FD64_FLAG_ESI = 0x4000;

// CanErrExt_t flags_ext and CanFdErr64_t error_code_ext: direction, 1 =
// received.
constexpr uint16_t ERROR_EXT_RX = 0x0020;

// CanFdErr64_t ext_flags word.
constexpr uint16_t FDERR_FLAG_ESI = 0x0020;
constexpr uint16_t FDERR_FLAG_BRS = 0x0040;
constexpr uint16_t FDERR_FLAG_FDF = 0x0080;

constexpr size_t WRITER_BUFFER_SIZE = 200000;  // uncompressed bytes per written container

#pragma pack(push, 1)

// Calendar record, local time.
struct SystemTime_t {
  uint16_t year;
  uint16_t month;
  uint16_t day_of_week;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;  // 0..1000
};

struct FileHeader_t {
  char signature[4];  // "LOGG"
  uint32_t header_size;
  uint8_t application_id;
  uint8_t application_major;
  uint8_t application_minor;
  uint8_t application_build;
  uint8_t format_major;
  uint8_t format_minor;
  uint8_t format_build;
  uint8_t format_patch;
  int64_t filesize;
  int64_t uncompressed_size;
  uint32_t object_count;
  uint32_t objects_read;
  SystemTime_t start_timestamp;
  SystemTime_t stop_timestamp;
};

struct ObjHeaderBase_t {
  char signature[4];  // "LOBJ"
  uint16_t header_size;
  uint16_t header_version;  // 1 or 2 for frame objects
  uint32_t object_size;     // headers + body, without trailing padding
  uint32_t object_type;
};

struct ObjHeaderV1_t {
  uint32_t flags;  // timestamp unit
  uint16_t client_index;
  uint16_t object_version;
  uint64_t timestamp;
};

struct ObjHeaderV2_t {
  uint32_t flags;
  uint8_t timestamp_status;
  uint8_t reserved;
  uint16_t object_version;
  uint64_t timestamp;
  uint64_t original_timestamp;
};

struct LogContainer_t {
  uint16_t compression_method;
  uint8_t reserved1[6];
  uint32_t uncompressed_size;
  uint8_t reserved2[4];
};

// Body of CAN_MESSAGE; first 16 bytes of CAN_MESSAGE2.
struct CanMsg_t {
  uint16_t channel;
  uint8_t flags;
  uint8_t dlc;
  uint32_t can_id;
  uint8_t data[8];
};

struct CanErrExt_t {
  uint16_t channel;
  uint8_t reserved1[8];
  uint8_t dlc;
  uint8_t reserved2[5];
  uint32_t can_id;
  uint16_t flags_ext;  // ERROR_EXT_RX among others
  uint8_t reserved3[2];
  uint8_t data[8];
};

// Body of CAN_ERROR: which channel, nothing of the frame it destroyed.
struct CanErr_t {
  uint16_t channel;
  uint16_t length;
};

// Fixed part of a CAN_FD_ERROR_64 body; the payload follows it.
struct CanFdErr64_t {
  uint8_t channel;
  uint8_t dlc;
  uint8_t valid_bytes;
  uint8_t ecc;
  uint16_t flags;
  uint16_t error_code_ext;
  uint16_t ext_flags;  // FDERR_FLAG_*
  uint8_t ext_data_offset;
  uint8_t reserved1;
  uint32_t can_id;
  uint32_t frame_length;
  uint32_t btr_cfg_arb;
  uint32_t btr_cfg_data;
  uint32_t time_offset_brs_ns;
  uint32_t time_offset_crc_del_ns;
  uint32_t crc;
  uint16_t error_position;
  uint16_t reserved2;
};

struct CanFdMsg_t {
  uint16_t channel;
  uint8_t flags;
  uint8_t dlc;
  uint32_t can_id;
  uint8_t reserved1[5];
  uint8_t fd_flags;
  uint8_t valid_bytes;
  uint8_t reserved2[5];
  uint8_t data[64];
};

// Fixed part of a CAN_FD_MESSAGE_64 body; the payload follows it.
struct CanFdMsg64_t {
  uint8_t channel;
  uint8_t dlc;
  uint8_t valid_bytes;
  uint8_t reserved1;
  uint32_t can_id;
  uint8_t reserved2[4];
  uint32_t flags;
  uint8_t reserved3[18];
  uint8_t direction;  // 0 = received
  uint8_t reserved4[5];
};

#pragma pack(pop)

static_assert(sizeof(SystemTime_t) == 16);
static_assert(offsetof(SystemTime_t, milliseconds) == 14);

static_assert(sizeof(FileHeader_t) == FILE_HEADER_DEFINED);
static_assert(offsetof(FileHeader_t, header_size) == 4);
static_assert(offsetof(FileHeader_t, application_id) == 8);
static_assert(offsetof(FileHeader_t, format_patch) == 15);
static_assert(offsetof(FileHeader_t, filesize) == 16);
static_assert(offsetof(FileHeader_t, uncompressed_size) == 24);
static_assert(offsetof(FileHeader_t, object_count) == 32);
static_assert(offsetof(FileHeader_t, objects_read) == 36);
static_assert(offsetof(FileHeader_t, start_timestamp) == 40);
static_assert(offsetof(FileHeader_t, stop_timestamp) == 56);

static_assert(sizeof(ObjHeaderBase_t) == 16);
static_assert(offsetof(ObjHeaderBase_t, header_size) == 4);
static_assert(offsetof(ObjHeaderBase_t, header_version) == 6);
static_assert(offsetof(ObjHeaderBase_t, object_size) == 8);
static_assert(offsetof(ObjHeaderBase_t, object_type) == 12);

static_assert(sizeof(ObjHeaderV1_t) == 16);
static_assert(offsetof(ObjHeaderV1_t, client_index) == 4);
static_assert(offsetof(ObjHeaderV1_t, object_version) == 6);
static_assert(offsetof(ObjHeaderV1_t, timestamp) == 8);
static_assert(sizeof(ObjHeaderV2_t) == 24);
static_assert(offsetof(ObjHeaderV2_t, timestamp) == 8);

static_assert(sizeof(LogContainer_t) == 16);
static_assert(offsetof(LogContainer_t, uncompressed_size) == 8);

static_assert(sizeof(CanMsg_t) == 16);
static_assert(offsetof(CanMsg_t, flags) == 2);
static_assert(offsetof(CanMsg_t, dlc) == 3);
static_assert(offsetof(CanMsg_t, can_id) == 4);
static_assert(offsetof(CanMsg_t, data) == 8);

static_assert(sizeof(CanErrExt_t) == 32);
static_assert(offsetof(CanErrExt_t, dlc) == 10);
static_assert(offsetof(CanErrExt_t, can_id) == 16);
static_assert(offsetof(CanErrExt_t, flags_ext) == 20);
static_assert(offsetof(CanErrExt_t, data) == 24);

static_assert(sizeof(CanErr_t) == 4);
static_assert(sizeof(CanFdErr64_t) == 44);
static_assert(offsetof(CanFdErr64_t, error_code_ext) == 6);
static_assert(offsetof(CanFdErr64_t, ext_flags) == 8);
static_assert(offsetof(CanFdErr64_t, can_id) == 12);
static_assert(offsetof(CanFdErr64_t, crc) == 36);

static_assert(sizeof(CanFdMsg_t) == 84);
static_assert(offsetof(CanFdMsg_t, dlc) == 3);
static_assert(offsetof(CanFdMsg_t, can_id) == 4);
static_assert(offsetof(CanFdMsg_t, fd_flags) == 13);
static_assert(offsetof(CanFdMsg_t, valid_bytes) == 14);
static_assert(offsetof(CanFdMsg_t, data) == 20);

static_assert(sizeof(CanFdMsg64_t) == 40);
static_assert(offsetof(CanFdMsg64_t, dlc) == 1);
static_assert(offsetof(CanFdMsg64_t, valid_bytes) == 2);
static_assert(offsetof(CanFdMsg64_t, can_id) == 4);
static_assert(offsetof(CanFdMsg64_t, flags) == 12);
static_assert(offsetof(CanFdMsg64_t, direction) == 34);

// Sizes of headers as objects carry them.
constexpr uint32_t OBJ_HEADER_V1_TOTAL = sizeof(ObjHeaderBase_t) + sizeof(ObjHeaderV1_t);  // 32
constexpr uint32_t OBJ_HEADER_V2_TOTAL = sizeof(ObjHeaderBase_t) + sizeof(ObjHeaderV2_t);  // 40
constexpr uint32_t CONTAINER_HEADER_TOTAL = sizeof(ObjHeaderBase_t) + sizeof(LogContainer_t);

// Unaligned little-endian load/store of a packed struct or scalar.
template <class T>
inline T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
inline void store(uint8_t* p, const T& v) {
  std::memcpy(p, &v, sizeof(T));
}

// ---------------------------------------------------------------------------
// Objects of the other buses and the log's own events, read by src/core/buses/.
// Bodies as Vector names their fields; each follows the object header.

namespace obj {
constexpr uint32_t APP_TRIGGER = 5;
constexpr uint32_t ENV_INTEGER = 6;
constexpr uint32_t ENV_DOUBLE = 7;
constexpr uint32_t ENV_STRING = 8;
constexpr uint32_t ENV_DATA = 9;
constexpr uint32_t LIN_MESSAGE = 11;
constexpr uint32_t LIN_CRC_ERROR = 12;
constexpr uint32_t LIN_RCV_ERROR = 14;
constexpr uint32_t LIN_SND_ERROR = 15;
constexpr uint32_t LIN_SYN_ERROR = 18;
constexpr uint32_t LIN_SLEEP = 20;
constexpr uint32_t LIN_WAKEUP = 21;
constexpr uint32_t FLEXRAY_DATA = 29;
constexpr uint32_t FLEXRAY_MESSAGE = 41;
constexpr uint32_t FR_RCVMESSAGE = 50;
constexpr uint32_t LIN_MESSAGE2 = 57;
constexpr uint32_t LIN_SND_ERROR2 = 58;
constexpr uint32_t LIN_SYN_ERROR2 = 59;
constexpr uint32_t LIN_CRC_ERROR2 = 60;
constexpr uint32_t LIN_RCV_ERROR2 = 61;
constexpr uint32_t LIN_WAKEUP2 = 62;
constexpr uint32_t APP_TEXT = 65;
constexpr uint32_t FR_RCVMESSAGE_EX = 66;
constexpr uint32_t ETHERNET_FRAME = 71;
constexpr uint32_t SYS_VARIABLE = 72;
constexpr uint32_t OVERRUN_ERROR = 91;
constexpr uint32_t EVENT_COMMENT = 92;
constexpr uint32_t GLOBAL_MARKER = 96;
constexpr uint32_t ETHERNET_FRAME_EX = 120;
constexpr uint32_t ETHERNET_FRAME_FORWARDED = 121;
constexpr uint32_t TRIGGER_CONDITION = 128;
}  // namespace obj

#pragma pack(push, 1)

// LIN_MESSAGE and LIN_CRC_ERROR.
struct LinMessage_t {
  uint16_t channel;
  uint8_t id;
  uint8_t dlc;
  uint8_t data[8];
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t header_time;
  uint8_t full_time;
  uint16_t crc;
  uint8_t dir;  // 0 Rx, 1 Tx, 2 Tx request
  uint8_t reserved;
};

// LIN_RCV_ERROR (its first 8 bytes are LIN_SND_ERROR's whole body).
struct LinReceiveError_t {
  uint16_t channel;
  uint8_t id;
  uint8_t dlc;
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t header_time;
  uint8_t full_time;
  uint8_t state_reason;
  uint8_t offending_byte;
  uint8_t short_error;
  uint8_t timeout_during_dlc_detection;
};

// LIN_SLEEP (reason, flags) and LIN_WAKEUP (signal, external): a channel and two bytes.
struct LinChannelEvent_t {
  uint16_t channel;
  uint8_t a;
  uint8_t b;
};

// The LinBusEvent chain that the second generation of LIN objects begins with.
struct LinBusEvent_t {
  uint64_t sof;
  uint32_t event_baudrate;
  uint16_t channel;
  uint8_t reserved[2];
};
struct LinSynchFieldEvent_t {
  LinBusEvent_t bus_event;
  uint64_t synch_break_length;
  uint64_t synch_del_length;
};
struct LinMessageDescriptor_t {
  LinSynchFieldEvent_t synch_field_event;
  uint16_t supplier_id;
  uint16_t message_id;
  uint8_t nad;
  uint8_t id;
  uint8_t dlc;
  uint8_t checksum_model;
};
struct LinDatabyteTimestampEvent_t {
  LinMessageDescriptor_t descriptor;
  uint64_t databyte_timestamps[9];
};

// LIN_MESSAGE2 (the respBaudrate and later fields of newer versions follow).
struct LinMessage2_t {
  LinDatabyteTimestampEvent_t event;
  uint8_t data[8];
  uint16_t crc;
  uint8_t dir;
  uint8_t simulated;
  uint8_t is_etf;
  uint8_t etf_assoc_index;
  uint8_t etf_assoc_etf_id;
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t reserved[3];
};

struct LinCrcError2_t {
  LinDatabyteTimestampEvent_t event;
  uint8_t data[8];
  uint16_t crc;
  uint8_t dir;
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t simulated;
  uint8_t reserved[2];
};

struct LinReceiveError2_t {
  LinDatabyteTimestampEvent_t event;
  uint8_t data[8];
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t state_reason;
  uint8_t offending_byte;
  uint8_t short_error;
  uint8_t timeout_during_dlc_detection;
  uint8_t is_etf;
  uint8_t has_data_bytes;
};

struct LinSendError2_t {
  LinMessageDescriptor_t descriptor;
  uint64_t eoh;
  uint8_t is_etf;
  uint8_t fsm_id;
  uint8_t fsm_state;
  uint8_t reserved;
};

struct LinWakeupEvent2_t {
  LinBusEvent_t bus_event;
  uint8_t length_info;
  uint8_t signal;
  uint8_t external;
  uint8_t reserved;
};

// ETHERNET_FRAME: the frame taken apart; values in the byte order of the
// machine that wrote them (little-endian), not the wire's.
struct EthernetFrame_t {
  uint8_t source_address[6];
  uint16_t channel;
  uint8_t destination_address[6];
  uint16_t dir;
  uint16_t type;
  uint16_t tpid;
  uint16_t tci;
  uint16_t payload_length;
  uint64_t reserved;
};

// ETHERNET_FRAME_EX and ETHERNET_FRAME_FORWARDED: frame_length bytes of the
// frame from its destination address follow.
struct EthernetFrameEx_t {
  uint16_t struct_length;
  uint16_t flags;
  uint16_t channel;
  uint16_t hardware_channel;
  uint64_t frame_duration;
  uint32_t frame_checksum;
  uint16_t dir;
  uint16_t frame_length;
  uint32_t frame_handle;
  uint32_t reserved;
};

// FR_RCVMESSAGE (254 data bytes follow) and the first part of
// FR_RCVMESSAGE_EX.
struct FlexRayVFrReceiveMsg_t {
  uint16_t channel;
  uint16_t version;
  uint16_t channel_mask;  // 1 A, 2 B, 3 both
  uint16_t dir;           // low byte: 0 Rx, 1 Tx, 2 Tx request
  uint32_t client_index;
  uint32_t cluster_no;
  uint16_t frame_id;
  uint16_t header_crc1;
  uint16_t header_crc2;
  uint16_t byte_count;
  uint16_t data_count;  // bytes stored
  uint16_t cycle;       // low byte
  uint32_t tag;
  uint32_t data;
  uint32_t frame_flags;
  uint32_t app_parameter;
};

// FR_RCVMESSAGE_EX: data_count bytes follow.
struct FlexRayVFrReceiveMsgEx_t {
  FlexRayVFrReceiveMsg_t msg;
  uint32_t frame_crc;
  uint32_t frame_length_ns;
  uint16_t frame_id1;
  uint16_t pdu_offset;
  uint16_t blf_log_mask;
  uint8_t reserved[26];
};

// FLEXRAY_DATA: `len` bytes of 12 follow.
struct FlexRayData_t {
  uint16_t channel;
  uint8_t mux;
  uint8_t len;
  uint16_t message_id;
  uint16_t crc;
  uint8_t dir;
  uint8_t reserved1;
  uint16_t reserved2;
};

// FLEXRAY_MESSAGE (FlexRayV6Message): `length` bytes of 64 follow.
struct FlexRayV6Message_t {
  uint16_t channel;
  uint8_t dir;
  uint8_t low_time;
  uint32_t fpga_tick;
  uint32_t fpga_tick_overflow;
  uint32_t client_index;
  uint32_t cluster_time;
  uint16_t frame_id;
  uint16_t header_crc;
  uint16_t frame_state;
  uint8_t length;
  uint8_t cycle;
  uint8_t header_bit_mask;
  uint8_t reserved1;
  uint16_t reserved2;
};

struct AppText_t {
  uint32_t source;     // 0 comment, 1 database channel info, 2 metadata, ...
  uint32_t reserved1;  // source 1: version, channel, bus type, CAN FD bit
  uint32_t text_length;
  uint32_t reserved2;
};

struct AppTrigger_t {
  uint64_t pre_trigger_time;
  uint64_t post_trigger_time;
  uint16_t channel;
  uint16_t flags;  // 0 single trigger, 1 logging start, 2 logging stop
  uint32_t app_specific;
};

struct EnvironmentVariable_t {
  uint32_t name_length;
  uint32_t data_length;
  uint64_t reserved;
};

struct SystemVariable_t {
  uint32_t type;  // 1 double, 2 long, 3 string, 4 doubles, 5 longs, 6 long long, 7 bytes
  uint32_t representation;
  uint64_t reserved1;
  uint32_t name_length;
  uint32_t data_length;
  uint64_t reserved2;
};

struct DriverOverrun_t {
  uint32_t bus_type;
  uint16_t channel;
  uint16_t reserved;
};

struct EventComment_t {
  uint32_t commented_event_type;
  uint32_t text_length;
  uint64_t reserved;
};

struct GlobalMarker_t {
  uint32_t commented_event_type;
  uint32_t foreground_color;
  uint32_t background_color;
  uint8_t is_relocatable;
  uint8_t reserved1;
  uint16_t reserved2;
  uint32_t group_name_length;
  uint32_t marker_name_length;
  uint32_t description_length;
  uint32_t reserved3;
  uint64_t reserved4;
};

struct TriggerCondition_t {
  uint32_t state;
  uint32_t trigger_block_name_length;
  uint32_t trigger_condition_length;
};

#pragma pack(pop)

static_assert(sizeof(LinMessage_t) == 20);
static_assert(offsetof(LinMessage_t, crc) == 16);
static_assert(sizeof(LinReceiveError_t) == 12);
static_assert(sizeof(LinBusEvent_t) == 16);
static_assert(sizeof(LinMessageDescriptor_t) == 40);
static_assert(offsetof(LinMessageDescriptor_t, id) == 37);
static_assert(sizeof(LinDatabyteTimestampEvent_t) == 112);
static_assert(sizeof(LinMessage2_t) == 132);
static_assert(offsetof(LinMessage2_t, crc) == 120);
static_assert(sizeof(LinCrcError2_t) == 128);
static_assert(sizeof(LinReceiveError2_t) == 128);
static_assert(offsetof(LinReceiveError2_t, has_data_bytes) == 127);
static_assert(sizeof(LinSendError2_t) == 52);
static_assert(sizeof(LinWakeupEvent2_t) == 20);
static_assert(sizeof(EthernetFrame_t) == 32);
static_assert(offsetof(EthernetFrame_t, payload_length) == 22);
static_assert(sizeof(EthernetFrameEx_t) == 32);
static_assert(offsetof(EthernetFrameEx_t, frame_length) == 22);
static_assert(sizeof(FlexRayVFrReceiveMsg_t) == 44);
static_assert(offsetof(FlexRayVFrReceiveMsg_t, frame_flags) == 36);
static_assert(sizeof(FlexRayVFrReceiveMsgEx_t) == 84);
static_assert(sizeof(FlexRayData_t) == 12);
static_assert(sizeof(FlexRayV6Message_t) == 32);
static_assert(sizeof(AppText_t) == 16);
static_assert(sizeof(AppTrigger_t) == 24);
static_assert(sizeof(EnvironmentVariable_t) == 16);
static_assert(sizeof(SystemVariable_t) == 32);
static_assert(sizeof(EventComment_t) == 16);
static_assert(sizeof(GlobalMarker_t) == 40);
static_assert(sizeof(TriggerCondition_t) == 12);

}  // namespace korvel::blf
