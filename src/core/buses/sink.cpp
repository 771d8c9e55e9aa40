#include "buses/sink.hpp"

#include <algorithm>
#include <cstring>

namespace korvel::buses {

template <class Record>
void RecordColumn<Record>::keep_window(int64_t start, int64_t stop) {
  Record* recs = data();
  const size_t n = count();
  uint8_t* pay = payload.data();
  size_t w = 0;
  uint64_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    Record r = recs[i];
    if (r.timestamp < start || r.timestamp >= stop) continue;
    const uint64_t k = loc_count(r.loc), off = loc_offset(r.loc);
    if (off != at && k) std::memmove(pay + at, pay + off, k);
    r.loc = make_loc(at, k);
    recs[w++] = r;
    at += k;
  }
  records.drop_back(records.size() - w * sizeof(Record));
  payload.drop_back(payload.size() - at);
}

template struct RecordColumn<LinRecord>;
template struct RecordColumn<EthernetRecord>;
template struct RecordColumn<FlexRayRecord>;

void BusSink::skip(uint32_t type, uint64_t n) {
  for (auto& s : skipped)
    if (s.first == type) {
      s.second += n;
      return;
    }
  skipped.emplace_back(type, n);
}

void BusSink::count(Bus bus, uint16_t channel, int64_t ts) {
  // Most objects are on the channel of the one before.
  const auto counted = [&](size_t i) {
    ChannelRow& r = channels[i];
    if (r.bus != bus || r.channel != channel) return false;
    ++r.objects;
    r.first = std::min(r.first, ts);
    r.last = std::max(r.last, ts);
    last_row_ = i;
    return true;
  };
  if (last_row_ < channels.size() && counted(last_row_)) return;
  for (size_t i = 0; i < channels.size(); ++i)
    if (counted(i)) return;
  channels.push_back(ChannelRow{bus, channel, 1, ts, ts});
  last_row_ = channels.size() - 1;
}

TextRef BusSink::keep_text(const Payload& p) {
  TextRef t{text.size(), static_cast<uint32_t>(p.size)};
  if (p.size) std::memcpy(text.reserve_more(p.size), p.data, p.size);
  text.commit(p.size);
  return t;
}

void BusSink::object(const uint8_t* obj, uint32_t object_size, uint32_t type, uint32_t header_bytes,
                     int64_t ts) {
  const uint8_t* body = obj + header_bytes;
  const size_t n = object_size - header_bytes;
  const Bus bus = bus_of(type);
  if (wanted_.channels) {
    uint16_t channel = 0;
    if (bus != Bus::None && channel_of(type, body, n, channel)) count(bus, channel, ts);
  }
  // Records are parsed straight into their slots: a record built on the
  // stack field by field and then copied whole stalls on the store
  // forwarding, which cost more than the rest of the object's work.
  switch (bus) {
    case Bus::Lin: {
      if (!wanted_.lin) return;
      before_add(lin, n);
      Payload data;
      const Parse r = parse_lin(type, body, n, *lin.slot(), data);
      if (r == Parse::Short) skip(type);
      if (r == Parse::Ok) lin.commit(ts, data);
      return;
    }
    case Bus::Ethernet: {
      if (!wanted_.ethernet) return;
      before_add(ethernet, n);
      EthernetPayload p;
      const Parse r = parse_ethernet(type, body, n, *ethernet.slot(), p);
      if (r == Parse::Short) skip(type);
      if (r != Parse::Ok) return;
      ethernet.commit(ts, p.data, Payload{p.head, p.head_size});
      return;
    }
    case Bus::FlexRay: {
      if (!wanted_.flexray) return;
      before_add(flexray, n);
      Payload data;
      const Parse r = parse_flexray(type, body, n, *flexray.slot(), data);
      if (r == Parse::Short) skip(type);
      if (r == Parse::Ok) flexray.commit(ts, data);
      return;
    }
    default:
      break;
  }
  if (!wanted_.events) return;
  EventParsed p;
  const Parse r = parse_event(type, body, n, p);
  if (r == Parse::Short) skip(type);
  if (r != Parse::Ok) return;
  p.rec.timestamp = ts;
  p.rec.text = keep_text(p.text);
  p.rec.first = keep_text(p.first);
  p.rec.second = keep_text(p.second);
  events.push_back(p.rec);
}

void BusSink::append(const ObjectSink& other) {
  const BusSink& o = static_cast<const BusSink&>(other);
  lin.append(o.lin);
  ethernet.append(o.ethernet);
  flexray.append(o.flexray);
  append_small(o);
}

bool BusSink::append_deferred(const ObjectSink& other, BulkSlot& slot) {
  const BusSink& o = static_cast<const BusSink&>(other);
  if (!lin.has_room(o.lin.count(), o.lin.payload.size()) ||
      !ethernet.has_room(o.ethernet.count(), o.ethernet.payload.size()) ||
      !flexray.has_room(o.flexray.count(), o.flexray.payload.size()))
    return false;
  lin.reserve_for(o.lin, slot.at);
  ethernet.reserve_for(o.ethernet, slot.at + 2);
  flexray.reserve_for(o.flexray, slot.at + 4);
  append_small(o);
  return true;
}

void BusSink::copy_bulk(const ObjectSink& other, const BulkSlot& slot) {
  const BusSink& o = static_cast<const BusSink&>(other);
  lin.fill_from(o.lin, slot.at);
  ethernet.fill_from(o.ethernet, slot.at + 2);
  flexray.fill_from(o.flexray, slot.at + 4);
}

void BusSink::append_small(const BusSink& o) {
  const uint64_t rebase = text.size();
  for (EventRecord e : o.events) {
    e.text.offset += rebase;
    e.first.offset += rebase;
    e.second.offset += rebase;
    events.push_back(e);
  }
  if (o.text.size()) {
    std::memcpy(text.reserve_more(o.text.size()), o.text.data(), o.text.size());
    text.commit(o.text.size());
  }
  // Rows merged: the counts add, the times widen.
  for (const ChannelRow& r : o.channels) {
    bool found = false;
    for (ChannelRow& mine : channels)
      if (mine.bus == r.bus && mine.channel == r.channel) {
        mine.objects += r.objects;
        mine.first = std::min(mine.first, r.first);
        mine.last = std::max(mine.last, r.last);
        found = true;
        break;
      }
    if (!found) channels.push_back(r);
  }
  for (const auto& s : o.skipped) skip(s.first, s.second);
}

void BusSink::clear() {
  lin.clear();
  ethernet.clear();
  flexray.clear();
  events.clear();
  text.clear();
  channels.clear();
  skipped.clear();
  last_row_ = 0;
}

void BusSink::mark() {
  saved_.lin = lin.mark();
  saved_.ethernet = ethernet.mark();
  saved_.flexray = flexray.mark();
  saved_.events = events.size();
  saved_.text = text.size();
  saved_.channels = channels;
  saved_.skipped = skipped;
}

void BusSink::rollback() {
  lin.rollback(saved_.lin);
  ethernet.rollback(saved_.ethernet);
  flexray.rollback(saved_.flexray);
  events.resize(saved_.events);
  text.drop_back(text.size() - saved_.text);
  channels = saved_.channels;
  skipped = saved_.skipped;
  last_row_ = 0;
}

void BusSink::keep_window(int64_t start, int64_t stop) {
  lin.keep_window(start, stop);
  ethernet.keep_window(start, stop);
  flexray.keep_window(start, stop);
  // Events keep their strings where they are: they are few.
  events.erase(std::remove_if(events.begin(), events.end(),
                              [&](const EventRecord& e) {
                                return e.timestamp < start || e.timestamp >= stop;
                              }),
               events.end());
}

}  // namespace korvel::buses
