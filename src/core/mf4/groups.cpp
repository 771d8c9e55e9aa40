#include "mf4/groups.hpp"

namespace korvel::mf4 {

std::string where(const char* id, uint64_t offset) {
  return std::string(id) + " block at byte offset " + std::to_string(offset);
}

namespace {

constexpr int MAX_DEPTH = 16;

void read_channels(BlockReader& r, uint64_t first, const std::string& from,
                   const std::string& parent, std::vector<Channel>& out, LoopGuard& guard,
                   int depth) {
  uint64_t at = first;
  std::string link_from = from;
  // `from` reads "XX block at byte offset N".
  std::string prev_name = from.substr(0, 2);
  uint64_t prev = std::stoull(from.substr(from.rfind(' ') + 1));
  while (at) {
    guard.visit(at, prev_name, prev);
    Block b = r.read(at, depth ? "CN CA" : "CN", link_from);
    if (b.id == "CA") return;  // an array of the parent: no fields of ours
    Channel c;
    c.offset = at;
    const std::string here = where("CN", at);
    c.name = r.text(b.link(2), here);
    if (!parent.empty() && c.name.compare(0, parent.size() + 1, parent + ".") != 0)
      c.name = parent + "." + c.name;
    c.type = *b.at(0, 1);
    c.sync = *b.at(1, 1);
    c.data_type = *b.at(2, 1);
    c.bit_offset = *b.at(3, 1);
    c.byte_offset = u32le(b.at(4, 4));
    c.bit_count = u32le(b.at(8, 4));
    c.cc = b.link(4);
    c.data = b.link(5);
    if (b.link(1)) {
      if (depth >= MAX_DEPTH) throw Mf4Error("CN", at, "nests compositions too deeply");
      read_channels(r, b.link(1), here, c.name, c.children, guard, depth + 1);
    }
    out.push_back(std::move(c));
    link_from = here;
    prev_name = "CN";
    prev = at;
    at = b.link(0);
  }
}

}  // namespace

std::vector<DataGroup> read_groups(BlockReader& r, uint64_t dg_first) {
  std::vector<DataGroup> out;
  LoopGuard dgs;
  uint64_t dg_at = dg_first;
  std::string from = where("HD", ID_SIZE);
  uint64_t prev_dg = 0;
  while (dg_at) {
    dgs.visit(dg_at, prev_dg ? "DG" : "HD", prev_dg ? prev_dg : ID_SIZE);
    Block dg = r.read(dg_at, "DG", from);
    DataGroup g;
    g.offset = dg_at;
    g.rec_id_size = *dg.at(0, 1);
    g.data = dg.link(2);
    const std::string dg_here = where("DG", dg_at);
    if (g.rec_id_size != 0 && g.rec_id_size != 1 && g.rec_id_size != 2 && g.rec_id_size != 4 &&
        g.rec_id_size != 8)
      throw Mf4Error("DG", dg_at,
                     "declares record ids of " + std::to_string(g.rec_id_size) +
                         " bytes (0, 1, 2, 4 or 8 are allowed)");
    LoopGuard cgs, cns;
    uint64_t cg_at = dg.link(1);
    std::string cg_from = dg_here;
    uint64_t prev_cg = 0;
    while (cg_at) {
      cgs.visit(cg_at, prev_cg ? "CG" : "DG", prev_cg ? prev_cg : dg_at);
      Block cg = r.read(cg_at, "CG", cg_from);
      ChannelGroup c;
      c.offset = cg_at;
      const std::string here = where("CG", cg_at);
      c.record_id = u64le(cg.at(0, 8));
      c.cycle_count = u64le(cg.at(8, 8));
      c.flags = u16le(cg.at(16, 2));
      c.data_bytes = u32le(cg.at(24, 4));
      c.inval_bytes = u32le(cg.at(28, 4));
      c.acq_name = r.text(cg.link(2), here);
      if (cg.link(3)) {
        Block si = r.read(cg.link(3), "SI", here);
        c.bus_type = *si.at(1, 1);
      }
      if (!c.vlsd()) read_channels(r, cg.link(1), here, "", c.channels, cns, 0);
      g.groups.push_back(std::move(c));
      cg_from = here;
      prev_cg = cg_at;
      cg_at = cg.link(0);
    }
    out.push_back(std::move(g));
    from = dg_here;
    prev_dg = dg_at;
    dg_at = dg.link(0);
  }
  return out;
}

}  // namespace korvel::mf4
