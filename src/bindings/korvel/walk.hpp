// One walk of a BLF log for the readers of other buses (buses.cpp): the
// frames reader's whole machinery (arguments, sources, notices, windows,
// errors) with a sink for the objects that are not frames.
#pragma once

#include <cstdint>
#include <string>

#include "common.hpp"

namespace korvel::bind {

struct WalkExtras {
  ObjectSink* objects = nullptr;  // in: where other objects go
  bool frames = true;             // in: false leaves frame objects to `objects`
  // in: `objects` only counts what the walk passes over, so that the
  // containers a time window needs are enough (the count masks by time).
  bool objects_count_only = false;
  bool cost_line = true;  // in: print read()'s line when verbose
  bool windowed = false;  // out: start/stop given; mask `objects` to them
  int64_t start = 0, stop = 0;
  uint32_t object_count = 0;  // out: as the file header says
};

// read() with extras; returns the frames pair (empty without frames).
py::tuple read_walk(py::object file, py::object threads, bool verbose, py::object containers,
                    const std::string& errors, py::object start, py::object stop, bool exact_time,
                    bool all_errors, bool scan_ahead, bool libdeflate, py::object collect,
                    WalkExtras& extras);

}  // namespace korvel::bind
