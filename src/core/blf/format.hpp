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

}  // namespace korvel::blf
