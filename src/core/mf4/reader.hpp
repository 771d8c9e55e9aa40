// The MF4 reader: the file's structure, then every CAN channel group's
// records (sorted groups streamed block by block, unsorted groups first
// split by record id), frames out in time order with ties in group order.
// Plain C++: the bindings own the sink, the lock and the words.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bytebuf.hpp"
#include "frames.hpp"
#include "mf4/blocks.hpp"
#include "mf4/bus.hpp"
#include "mf4/groups.hpp"

namespace korvel::mf4 {

struct ReadOptions {
  unsigned threads = 1;
  bool skip = false;   // damaged data blocks are left out (a notice each)
  bool can = true;     // false: CAN groups are not read (nor counted as left out)
  bool buses = false;  // LIN and Ethernet groups not asked for are not counted as left out
};

struct ReadCounts {
  uint64_t data_groups = 0;
  uint64_t can_groups = 0;        // channel groups of CAN frames read
  uint64_t other_bus_groups = 0;  // LIN, FlexRay, Ethernet, ... left for other readers
  std::vector<std::string> other_bus_names;
  uint64_t lin_groups = 0, ethernet_groups = 0;  // read into BusColumns
};

class Reader {
 public:
  Reader(RandomSource& src, ReadOptions options);

  // The ID and HD blocks and the channel hierarchy; throws Mf4Error.
  void open();
  const FileId& id() const { return id_; }
  const Header& header() const { return header_; }
  const std::vector<DataGroup>& groups() const { return groups_; }

  // Every CAN frame into `sink`, times counted from `start_ns`; with
  // columns in `buses`, the LIN and Ethernet records too (each in time
  // order, ties in group order), their groups then not counted as left
  // out. Throws Mf4Error (ExternalError from the source or sink).
  void read(FrameSink& sink, int64_t start_ns, const BusColumns& buses = {});

  const ReadCounts& counts() const { return counts_; }
  // Damage read past with `skip`, one text each.
  const std::vector<std::string>& notices() const { return notices_; }

 private:
  struct Target;
  void read_sorted(const DataGroup& dg, Target& t, int64_t start_ns);
  void read_unsorted(const DataGroup& dg, std::vector<Target*>& targets, int64_t start_ns);
  void signal_data(const DataGroup& dg, const CanLayout& l, ByteBuffer& out);
  void bad_records(const CanLayout& l, size_t bad);

  RandomSource& src_;
  ReadOptions options_;
  BlockReader blocks_;
  FileId id_;
  Header header_;
  std::vector<DataGroup> groups_;
  ReadCounts counts_;
  std::vector<std::string> notices_;
};

// Merges per-group frames (each in time order) into `sink` in time order,
// ties in the order of `parts`.
void merge_frames(const std::vector<LocalFrames*>& parts, FrameSink& sink);

// Puts the frames of `sink` from `from` on into time order (stable) when
// they are not.
void sort_frames(FrameSink& sink, size_t from);

}  // namespace korvel::mf4
