// Routing data of the road records and section 8, the graph node table.
//
// Road record (offsets from its start): at 78 the (n - 1) u16 offsets of
// the segment blocks (n route nodes); after the geometry n u32, one per
// route node, the image offset of its section 8 entry; then the segment
// blocks back to back. Segment g runs from route node g to g + 1:
//   4   u32  Time CH node record of (node g -> node g + 1); 0 = none
//   4   u32  Distance CH node record of the same
//   4   u32  Time CH node record of (node g + 1 -> node g)   } two-way
//   4   u32  Distance CH node record of the same             } roads only
//   2   u16  packed length: bits 4-15 mantissa m, 0-3 exponent e;
//            metres = m x 2^e / 128
//   1   u8   forward: bits 0-2 exits, 3-5 entries, bit 6 bound flag of
//            node g + 1, bit 7 U-turn allowed at node g + 1
//   1   u8   backward: the same for node g (0 counts on a one-way road)
//   0/4      when a count is 7 or more both bytes hold 0x3f in bits 0-5
//            and four u8 follow: forward exits, forward entries, backward
//            exits, backward entries
//   8 each   forward exits at node g + 1, forward entries at node g,
//            backward exits at node g, backward entries at node g + 1
// Exit or entry item:
//   0   u32  image offset of the record of the leg's road
//   4   u32  bits 0-15 the leg's link index on its road, bit 16 its
//            direction; exits also bit 17 mark, bits 18-20 turn class,
//            bits 21-23 lane-change code, bits 24-31 lane byte
//
// Section 8 (4-aligned):
//   u32 entry count, u32 count F of bound entries, F x (u32 node id, u32
//   entry offset) for the bound entries, then the entries: bound ones
//   first, each group by node id ascending (unsigned). Entry: u32 node id,
//   u8 bound flag, u8 pair count, u16 0, per pair u32 road record offset
//   and u32 point index of the node on that road, in the order the roads
//   were written.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "mapfile/text.h"
#include "mapfile/writer.h"
#include "routing/graphsections.h"
#include "routing/roadgraph_internal.h"

using namespace PolskiFormat;
using namespace RoadGraphDetail;
using ZorvaneMap::WriteZeros;

namespace {

constexpr uint32_t kSegmentTableOffset = 78;
constexpr uint32_t kMaxBlockOffset = 0xffff;
constexpr uint32_t kEscapeCount = 7;
constexpr uint32_t kMaxNodePairs = 255;
// Metres of a path that an exit's turn angle is measured over.
constexpr uint32_t kTurnWalkMetres = 30;

bool LinkPlaceLess(const TLinkPlace& a, const TLinkPlace& b) { return OrientedLinkLess(a.link, b.link); }
bool RoadLinkLess(const TRoadLinkRef& a, const TRoadLinkRef& b) { return OrientedLinkLess(a.link, b.link); }

// The CH node record of an oriented link in a sorted list, 0 when none.
uint32_t FindNodeRecord(const CReallocArray<TLinkPlace>& list, const TOrientedLink& link) {
  const TLinkPlace key{link, 0};
  const TLinkPlace* it = std::lower_bound(list.begin(), list.end(), key, LinkPlaceLess);
  return it != list.end() && it->link == link ? it->position : 0;
}

void WriteCounts(CMemStream& out, uint32_t bound, bool uturn, uint32_t entries, uint32_t exits) {
  out.WriteU8(static_cast<uint8_t>((bound | (uturn ? 2 : 0)) << 6 | entries << 3 | exits));
}

// Node table order: bound keys first, each group by node id (unsigned).
bool NodeKeyLess(const TNodeTablePair& a, const TNodeTablePair& b) {
  if (a.bound != b.bound) return a.bound > b.bound;
  return a.nodeId < b.nodeId;
}
bool NodeRefPlaceLess(const TNodeRefPlace& a, const TNodeRefPlace& b) { return a.nodeId < b.nodeId; }

}  // namespace

uint16_t PackSegmentLength(double metres) {
  // 4095 x 2^15 / 128 m (about 1048 km) is the most the field holds: a
  // longer link (a ferry line) is stored as that, not as a wrapped value.
  const double scaled = metres * 128;
  if (!(scaled < 4096.0 * 32768)) return 4095 << 4 | 15;
  uint32_t v = scaled > 0 ? static_cast<uint32_t>(scaled) : 0;
  uint32_t e = 0;
  while (v > 4095) {
    v >>= 1;
    e++;
  }
  return static_cast<uint16_t>(v << 4 | e);
}

TTurnEntry FillTurnEntry(const CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c,
                         const TNodeRoadRef& ref, const TRoadAttributes& road, int side) {
  const TRoadGraph& g = *writer.graph;
  TTurnEntry e{};
  e.road = ref.RoadId;
  e.farNode = road.Nodes[side ? ref.Position + 1 : ref.Position - 1].NodeId;
  e.roadClass = road.RoadClass == 255 ? 0 : road.RoadClass;
  e.arrival = e.farNode == a && e.road == c;
  if (e.arrival) {
    // From the point next to b on the arrival side; clamped, for a link of
    // no length at the road's end has no point there.
    const uint32_t at = NodePointIndex(road, ref.Position);
    const size_t points = road.FirstLevelPoints.Size();
    uint32_t from = side ? at + 1 : (at > 0 ? at - 1 : 0);
    if (points > 0 && from >= points) from = static_cast<uint32_t>(points - 1);
    e.angle = Bearing(GeoPointAt(road, from), GeoPointAt(road, at));
  }
  e.allowed = !(side == 0 && (road.OneWay & 1)) && !g.HasRestrictionKey(a, b, e.farNode, c, e.road);
  e.lanes = g.FindLaneConnection(a, b, e.farNode, c, e.road);
  return e;
}

void ClassifyTurn(TTurnEntry& x, const CReallocArray<TTurnEntry>& list) {
  if (x.arrival) {
    x.turnClass = TurnU;
    x.mark = 1;
    return;
  }
  // Readings of the mark rule:
  // - cmin and kmax are taken over the allowed legs other than x and the
  //   arrival leg; with no such leg cmin is unbounded (a near-straight x
  //   is then straight) and the mark is 0;
  // - "exactly 2 legs" counts every leg of the junction, allowed or not,
  //   the arrival leg included: a plain continuation is never marked;
  // - the threshold t is |d| x 620 / 256 when x's road class is the
  //   highest (kmax = kx), |d| / 2 when x outranks every other leg, and
  //   otherwise 120 when x ranks below the arrival road, else 80, halved
  //   for |d| < 20; the mark is cmin <= t.
  const TTurnEntry* arrival = nullptr;
  uint32_t cmin = UINT32_MAX, kmax = 0;
  bool others = false;
  for (const TTurnEntry& y : list) {
    if (y.arrival) arrival = &y;
    if (&y == &x || !y.allowed || y.arrival) continue;
    others = true;
    cmin = std::min<uint32_t>(cmin, static_cast<uint32_t>(std::abs(y.angle)));
    kmax = std::max(kmax, y.roadClass);
  }
  const int d = x.angle;
  const uint32_t ad = static_cast<uint32_t>(std::abs(d));
  if (ad == 180) {
    x.mark = 1;
    x.turnClass = TurnU;
    return;
  }
  if (list.Size() == 2) {
    x.mark = 0;
  } else if (ad > 75) {
    x.mark = 1;
  } else if (!others) {
    x.mark = 0;
  } else {
    const uint32_t kx = x.roadClass, ka = arrival ? arrival->roadClass : 0;
    uint32_t t;
    if (kmax == kx) {
      t = ad * 620 / 256;
    } else if (kmax < kx) {
      t = ad / 2;
    } else {
      t = kx < ka ? 120 : 80;
      if (ad < 20) t /= 2;
    }
    x.mark = cmin <= t ? 1 : 0;
  }
  if (ad >= 170) {
    x.turnClass = TurnU;
  } else if (d >= 120) {
    x.turnClass = TurnSharpRight;
  } else if (d <= -120) {
    x.turnClass = TurnSharpLeft;
  } else if (d >= 60) {
    x.turnClass = TurnRight;
  } else if (d <= -60) {
    x.turnClass = TurnLeft;
  } else if (ad <= 20 && (ad == 0 || ad < cmin)) {
    x.turnClass = TurnStraight;
  } else {
    x.turnClass = d > 0 ? TurnSlightRight : TurnSlightLeft;
  }
}

void CollectTurnEntries(CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c,
                        CReallocArray<TTurnEntry>& list) {
  const TRoadGraph& g = *writer.graph;
  list.Clear();
  for (const TNodeRoadRef *r = FindRoadLinksByNode(g, b), *end = g.NodeRoads.end(); r != end && r->NodeId == b;
       ++r) {
    const TRoadAttributes* road = FindRoadById(*writer.map, r->RoadId);
    // A second road of the same id may hold the position: only a record
    // that has the node there is read.
    if (!road || r->Position >= road->Nodes.Size() || road->Nodes[r->Position].NodeId != b) continue;
    if (r->Position > 0) list.PushBack(FillTurnEntry(writer, a, b, c, *r, *road, 0));
    if (r->Position + 1 < road->Nodes.Size()) list.PushBack(FillTurnEntry(writer, a, b, c, *r, *road, 1));
  }
  int bearing = 0;
  for (const TTurnEntry& e : list) {
    if (e.arrival) bearing = e.angle;
  }
  // Only allowed legs are classified; the angles of the others are never read.
  for (TTurnEntry& e : list) {
    if (e.allowed && !e.arrival) e.angle = WalkLinks(g, *writer.map, b, e.farNode, e.road, kTurnWalkMetres, bearing);
  }
  for (TTurnEntry& e : list) {
    if (e.allowed) ClassifyTurn(e, list);
  }
}

uint32_t LaneChangeCode(CGraphSectionWriter& writer, uint32_t a, uint32_t b, uint32_t c, const TTurnEntry& x) {
  const TRoadGraph& g = *writer.graph;
  const uint8_t* in = g.FindDirectionLanes(a, b, c, *writer.map);
  const uint8_t* out = g.FindDirectionLanes(b, x.farNode, x.road, *writer.map);
  if (!in || !out || *in == 0 || *out == 0) return 0;
  const int nIn = *in, nOut = *out;
  uint32_t code = 0;
  int e;
  if (const TLaneConnection* l = x.lanes) {
    const int w = l->ExitLanes ? l->ExitLanes : nOut;
    if (nIn < w) {
      e = w - nIn;
      code = l->EntryBias > 0 ? 2 : (l->EntryBias < 0 ? 1 : (e > 1 ? 3 : 0));
    } else {
      const int count = l->Lanes >> 4;
      if (nOut >= count) return 0;
      e = nOut - count;
      code = l->ExitBias > 0 ? 5 : (l->ExitBias < 0 ? 4 : (e < -1 ? 6 : 0));
    }
  } else {
    e = nOut - nIn;
  }
  if (e == 0 || code != 0) return code;
  if (e < 0) return e == -1 ? 4 : 6;

  // The road gains lanes: which side the lanes of the next junction turn
  // to. Bit 0 left turns (and U-turns), bit 1 right turns, bit 2 straight;
  // lanes 16 and above have no mark.
  CollectTurnEntries(writer, b, x.farNode, x.road, writer.laneScratch);
  uint8_t lanes[16] = {};
  for (const TTurnEntry& leg : writer.laneScratch) {
    if (!leg.allowed || !leg.lanes) continue;
    uint8_t bit;
    switch (leg.turnClass) {
      case TurnSlightLeft: case TurnLeft: case TurnSharpLeft: case TurnU: bit = 1; break;
      case TurnStraight: bit = 4; break;
      default: bit = 2; break;
    }
    const uint32_t first = leg.lanes->Lanes & 15, count = leg.lanes->Lanes >> 4;
    for (uint32_t lane = first; lane < first + count && lane < 16; lane++) lanes[lane] |= bit;
  }
  uint32_t leftOnly = 0, rightOnly = 0, left = 0, right = 0;
  for (uint8_t m : lanes) {
    leftOnly += m == 1;
    rightOnly += m == 2;
    left += (m & 1) != 0;
    right += (m & 2) != 0;
  }
  if (e == 1) return leftOnly > rightOnly || (leftOnly == rightOnly && left >= right) ? 1 : 2;
  if (leftOnly > 0) return rightOnly > 0 ? 3 : 1;
  if (rightOnly > 0) return 2;
  if (left && right) return 3;
  if (left) return 1;
  if (right) return 2;
  return 3;
}

uint32_t CGraphSectionWriter::WriteAdjacentLinks(uint32_t a, uint32_t b, uint32_t c, uint8_t lanes, CMemStream& out,
                                                 bool* uturn) {
  CollectTurnEntries(*this, a, b, c, turnScratch);
  *uturn = false;
  uint32_t allowedLegs = 0;
  for (const TTurnEntry& x : turnScratch) allowedLegs += x.allowed;
  uint32_t written = 0;
  for (const TTurnEntry& x : turnScratch) {
    if (!x.allowed) continue;
    if (x.arrival && !x.lanes) {
      *uturn = true;
      continue;
    }
    RefsToFill.PushBack(TLinkPlace{{b, x.farNode, x.road}, static_cast<uint32_t>(out.GetPos())});
    const uint32_t code = x.turnClass == TurnStraight ? LaneChangeCode(*this, a, b, c, x) : 0;
    // Without a lane connection the lane byte gives, where the road only
    // changes its lane count and x is the one way on (turning back refused
    // or impossible), the arriving lane count in its high nibble. Unlike
    // the turn classes, this counts the arrival leg among the other legs.
    uint32_t laneByte = 0;
    if (x.lanes) {
      laneByte = x.lanes->Lanes;
    } else if (code != 0 && allowedLegs == 1) {
      laneByte = std::min<uint32_t>(lanes, 15) << 4;
    }
    out.WriteU32(0);
    out.WriteU32((x.mark | x.turnClass << 1 | code << 4) << 17 | laneByte << 24);
    written++;
  }
  return written;
}

uint32_t CGraphSectionWriter::WriteEntryLinks(uint32_t a, uint32_t b, uint32_t c, CMemStream& out) {
  graph->GetAllowedEntries(a, b, c, linkScratch);
  uint32_t written = 0;
  for (const TRoadLink* link : linkScratch) {
    const uint32_t far = link->FarEnd(a);
    if (far == b && link->RoadId == c) continue;
    RefsToFill.PushBack(TLinkPlace{{far, a, link->RoadId}, static_cast<uint32_t>(out.GetPos())});
    out.WriteU32(0);
    out.WriteU32(0);
    written++;
  }
  return written;
}

void WriteRoadGraphData(CGraphSectionWriter& writer, const TRoadAttributes& road, CMemStream& out, uint32_t record) {
  const size_t n = road.Nodes.Size();
  const bool twoWay = !(road.OneWay & 1);
  const uint32_t id = road.RoadId;
  for (size_t g = 0; g + 1 < n; g++) {
    const uint64_t p = out.GetPos();
    if (p - record > kMaxBlockOffset) throw FormatLimitText("Too big road (RoadId = %u)", id);
    out.Seek(record + kSegmentTableOffset + 2 * g);
    out.WriteU16(static_cast<uint16_t>(p - record));
    out.Seek(p);

    const uint32_t from = road.Nodes[g].NodeId, to = road.Nodes[g + 1].NodeId;
    const TOrientedLink forward{from, to, id}, backward{to, from, id};
    writer.RoadLinks.PushBack(TRoadLinkRef{forward, record, static_cast<uint16_t>(g), 1});
    out.WriteU32(FindNodeRecord(writer.TimeNodes, forward));
    out.WriteU32(FindNodeRecord(writer.DistanceNodes, forward));
    if (twoWay) {
      writer.RoadLinks.PushBack(TRoadLinkRef{backward, record, static_cast<uint16_t>(g), 0});
      out.WriteU32(FindNodeRecord(writer.TimeNodes, backward));
      out.WriteU32(FindNodeRecord(writer.DistanceNodes, backward));
    }

    double metres = 0;
    const uint32_t first = NodePointIndex(road, g), last = NodePointIndex(road, g + 1);
    for (uint32_t i = first; i < last; i++) metres += ChordDistance(RoadPoint(road, i), RoadPoint(road, i + 1));
    out.WriteU16(PackSegmentLength(metres));
    out.WriteU16(0);  // the count bytes, written below

    const uint64_t q = out.GetPos();
    const size_t k = writer.RefsToFill.Size();
    bool u1 = false, u3 = false;
    uint32_t x3 = 0, x4 = 0;
    const uint32_t x1 = writer.WriteAdjacentLinks(from, to, id, road.LanesForward, out, &u1);
    const uint32_t x2 = writer.WriteEntryLinks(from, to, id, out);
    if (twoWay) {
      x3 = writer.WriteAdjacentLinks(to, from, id, road.LanesBackward, out, &u3);
      x4 = writer.WriteEntryLinks(to, from, id, out);
    }
    const uint32_t most = std::max({x1, x2, x3, x4});
    const uint64_t end = out.GetPos();
    const uint32_t boundTo = road.Nodes[g + 1].Bound ? 1 : 0, boundFrom = road.Nodes[g].Bound ? 1 : 0;
    out.Seek(q - 2);
    if (most < kEscapeCount) {
      WriteCounts(out, boundTo, u1, x2, x1);
      WriteCounts(out, boundFrom, u3, x4, x3);
      out.Seek(end);
      continue;
    }
    if (most > kEscapeCount) {
      TPointD at = RoadPoint(road, first);
      g_Log.Print("Many (%d) adjacent roads (RoadId = %u, node %u, [%lf %lf])", static_cast<int>(most), id,
                  static_cast<unsigned>(g), at.y, at.x);
    }
    // Legs per node are bounded by the adjacency check of the road graph,
    // so each count fits its byte.
    WriteCounts(out, boundTo, u1, 7, 7);
    WriteCounts(out, boundFrom, u3, 7, 7);
    const uint8_t counts[4] = {static_cast<uint8_t>(x1), static_cast<uint8_t>(x2), static_cast<uint8_t>(x3),
                               static_cast<uint8_t>(x4)};
    out.Insert(counts, 4);
    // The items moved up by 4: so do their places.
    for (size_t i = k; i < writer.RefsToFill.Size(); i++) writer.RefsToFill[i].position += 4;
    out.Seek(end + 4);
  }
}

void PatchTileGraphRefs(CGraphSectionWriter& writer, CMemStream& out) {
  CReallocArray<TRoadLinkRef>& links = writer.RoadLinks;
  std::stable_sort(links.begin(), links.end(), RoadLinkLess);
  bool warned = false;
  for (const TLinkPlace& place : writer.RefsToFill) {
    const TRoadLinkRef key{place.link, 0, 0, 0};
    const TRoadLinkRef* it = std::lower_bound(links.begin(), links.end(), key, RoadLinkLess);
    if (it == links.end() || !(it->link == place.link)) {
      // A road of the graph that no level tree holds has no record: its
      // references stay 0.
      if (!warned) {
        g_Log.Print("Road without a record in the routing graph (RoadId = %u)", place.link.road);
        warned = true;
      }
      out.PutU32At(place.position, 0);
      continue;
    }
    out.PutU32At(place.position, it->record);
    out.PutU32At(place.position + 4,
                 out.GetU32At(place.position + 4) | static_cast<uint32_t>(it->direction) << 16 | it->index);
  }
}

void WriteGraphNodeTable(CGraphSectionWriter& writer, CMemStream& out) {
  CReallocArray<TNodeTablePair>& table = writer.NodeTable;
  CReallocArray<TNodeRefPlace>& places = writer.NodeRefPlaces;
  std::stable_sort(table.begin(), table.end(), NodeKeyLess);
  std::stable_sort(places.begin(), places.end(), NodeRefPlaceLess);
  uint32_t entries = 0, bound = 0;
  for (size_t i = 0; i < table.Size(); i++) {
    if (i > 0 && !NodeKeyLess(table[i - 1], table[i])) continue;
    entries++;
    bound += table[i].bound ? 1 : 0;
  }
  out.WriteU32(entries);
  out.WriteU32(bound);
  uint64_t index = out.GetPos();
  WriteZeros(out, 8ull * bound);
  for (size_t i = 0; i < table.Size();) {
    size_t j = i;
    while (j < table.Size() && !NodeKeyLess(table[i], table[j])) j++;
    const uint32_t node = table[i].nodeId;
    if (j - i > kMaxNodePairs) throw FormatLimitText("Too many roads at one node (node id %u)", node);
    const uint32_t at = static_cast<uint32_t>(out.GetPos());
    // A node with a bound and an unbound entry: the unbound one, written
    // last, is the one its roads refer to.
    const TNodeRefPlace key{node, 0};
    for (const TNodeRefPlace* p = std::lower_bound(places.begin(), places.end(), key, NodeRefPlaceLess);
         p != places.end() && p->nodeId == node; ++p) {
      out.PutU32At(p->position, at);
    }
    if (table[i].bound) {
      out.PutU32At(index, node);
      out.PutU32At(index + 4, at);
      index += 8;
    }
    out.WriteU32(node);
    out.WriteU8(table[i].bound);
    out.WriteU8(static_cast<uint8_t>(j - i));
    out.WriteU16(0);
    for (size_t m = i; m < j; m++) {
      out.WriteU32(table[m].record);
      out.WriteU32(table[m].pointIndex);
    }
    i = j;
  }
}
