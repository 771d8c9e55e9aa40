// BusCounter: how many objects of buses other than CAN a walk passes over,
// per bus, for readers of CAN frames to say what they leave out. Objects
// timed outside a window are not counted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "buses/objects.hpp"
#include "frames.hpp"

namespace korvel::buses {

class BusCounter final : public ObjectSink {
 public:
  using Counts = std::array<uint64_t, 32>;  // by Bus value (all below 32)

  BusCounter(int64_t start = INT64_MIN, int64_t stop = INT64_MAX) : start_(start), stop_(stop) {}

  void object(const uint8_t*, uint32_t, uint32_t object_type, uint32_t, int64_t ts) override {
    const Bus bus = bus_of(object_type);
    const size_t at = static_cast<uint8_t>(bus);
    if (bus == Bus::None || bus == Bus::Can || at >= counts_.size() || ts < start_ || ts >= stop_)
      return;
    ++counts_[at];
  }
  void append(const ObjectSink& other) override {
    const Counts& o = static_cast<const BusCounter&>(other).counts_;
    for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += o[i];
  }
  void clear() override { counts_.fill(0); }
  std::unique_ptr<ObjectSink> fresh() const override {
    return std::make_unique<BusCounter>(start_, stop_);
  }
  void mark() override { marked_ = counts_; }
  void rollback() override { counts_ = marked_; }

  const Counts& counts() const { return counts_; }

 private:
  int64_t start_, stop_;
  Counts counts_{};
  Counts marked_{};
};

}  // namespace korvel::buses
