// The channel hierarchy: DG (data group) -> CG (channel group, one record
// layout) -> CN (channel; a composition of CNs for structures), with the SI
// block saying which bus a group was recorded from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mf4/blocks.hpp"

namespace korvel::mf4 {

// CN block: links cn_next, composition, tx_name, si_source, cc_conversion,
// data (signal data of a VLSD channel), md_unit, md_comment, ...;
// data: uint8 type, sync_type, data_type, bit_offset; uint32 byte_offset,
// bit_count, flags, inval_bit_pos; ...
enum ChannelType : uint8_t {
  CN_FIXED = 0,
  CN_VLSD = 1,
  CN_MASTER = 2,
  CN_VIRTUAL_MASTER = 3,
  CN_SYNC = 4,
  CN_MLSD = 5,
  CN_VIRTUAL = 6,  // no bits: the record index through the conversion
};
enum DataType : uint8_t {
  DT_UINT_LE = 0,
  DT_UINT_BE = 1,
  DT_INT_LE = 2,
  DT_INT_BE = 3,
  DT_FLOAT_LE = 4,
  DT_FLOAT_BE = 5,
  DT_BYTES = 10,
};
constexpr uint8_t SYNC_TIME = 1;

struct Channel {
  uint64_t offset = 0;
  std::string name;  // with its parents' names, "CAN_DataFrame.ID"
  uint8_t type = 0, sync = 0, data_type = 0, bit_offset = 0;
  uint32_t byte_offset = 0, bit_count = 0;
  uint64_t cc = 0;    // CC block, 0 for none
  uint64_t data = 0;  // signal data (SD/DZ/DL/HL) or a VLSD CG
  std::vector<Channel> children;
};

// CG block: links cg_next, cn_first, tx_acq_name, si_acq_source, sr_first,
// md_comment; data: uint64 record_id, cycle_count; uint16 flags,
// path_separator; uint32 reserved, data_bytes, inval_bytes.
constexpr uint16_t CG_VLSD = 0x0001;       // holds the variable-length values of another group
constexpr uint16_t CG_BUS_EVENT = 0x0002;  // bus logging

// SI bus types.
enum BusType : uint8_t {
  BUS_NONE = 0,
  BUS_OTHER = 1,
  BUS_CAN = 2,
  BUS_LIN = 3,
  BUS_MOST = 4,
  BUS_FLEXRAY = 5,
  BUS_KLINE = 6,
  BUS_ETHERNET = 7,
  BUS_USB = 8,
};

struct ChannelGroup {
  uint64_t offset = 0;
  uint64_t record_id = 0;
  uint64_t cycle_count = 0;
  uint16_t flags = 0;
  uint32_t data_bytes = 0, inval_bytes = 0;
  std::string acq_name;
  uint8_t bus_type = BUS_NONE;
  std::vector<Channel> channels;  // top level; compositions as children
  bool vlsd() const { return flags & CG_VLSD; }
  uint64_t record_size() const { return uint64_t(data_bytes) + inval_bytes; }
};

// DG block: links dg_next, cg_first, data, md_comment; data: uint8
// rec_id_size (0: sorted, one group; 1, 2, 4 or 8: records tagged by group).
struct DataGroup {
  uint64_t offset = 0;
  uint8_t rec_id_size = 0;
  uint64_t data = 0;
  std::vector<ChannelGroup> groups;
};

// Every data group of the file, in link order.
std::vector<DataGroup> read_groups(BlockReader& r, uint64_t dg_first);

std::string where(const char* id, uint64_t offset);

}  // namespace korvel::mf4
