// Ethernet records written as pcapng (the capture format of Wireshark and
// friends): one section, one interface per channel (in order of first
// appearance, nanosecond timestamps), one enhanced packet block per frame
// with its direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "buses/records.hpp"
#include "bytebuf.hpp"

namespace korvel::pcapng {

// Appends the whole file to `out`. Records are read by `stride` bytes (a
// field view of a larger record is fine). False (with `error` saying why,
// nothing appended) when a record's payload lies outside `payload`.
bool write(const char* records, size_t n, ptrdiff_t stride, const uint8_t* payload,
           size_t payload_size, const std::string& application, ByteBuffer& out,
           std::string& error);

}  // namespace korvel::pcapng
