#include "polski/generalize.h"

#include <cstdio>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/log.h"
#include "polski/cleaning.h"
#include "polski/rings.h"

namespace PolskiFormat {

namespace {

// Map scale of each index; the tolerance is the scale in 1/96 inch pixels.
const uint32_t kScaleTable[kScaleIndexCount] = {
    1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000, 1200000,
    1200000, 1200000, 800000,  300000,  200000,  80000,   50000,   20000,   12000,
    5000,    3000,    2000,    800,     500,     300,     120,     80,      30};

const double kEarthRadius = 6371302.0;

void ToSphere(const TPointD& p, double v[3]) {
  double lon = p.x * M_PI / 180.0;
  double lat = p.y * M_PI / 180.0;
  v[0] = kEarthRadius * (std::cos(lat) * std::cos(lon));
  v[1] = kEarthRadius * (std::cos(lat) * std::sin(lon));
  v[2] = kEarthRadius * std::sin(lat);
}

struct TRange {
  size_t first;
  size_t last;
};

}  // namespace

uint32_t ScaleForIndex(int index) {
  if (index < 0) index = 0;
  if (index >= kScaleIndexCount) index = kScaleIndexCount - 1;
  return kScaleTable[index];
}

int ToleranceForIndex(int index) { return static_cast<int>(ScaleForIndex(index) / 37.79527559055118); }

double SegmentDistanceOnSphere(const TPointD& a, const TPointD& b, const TPointD& p) {
  double dx = b.x - a.x, dy = b.y - a.y;
  double d = (p.x - a.x) * dx + (p.y - a.y) * dy;
  double length2 = dx * dx + dy * dy;
  TPointD nearest = a;
  if (d >= length2) {
    nearest = b;
  } else if (d > 0) {
    double t = d / length2;
    nearest = {a.x + t * dx, a.y + t * dy};
  }
  double u[3], v[3];
  ToSphere(nearest, u);
  ToSphere(p, v);
  double c = std::sqrt((u[0] - v[0]) * (u[0] - v[0]) + (u[1] - v[1]) * (u[1] - v[1]) + (u[2] - v[2]) * (u[2] - v[2]));
  double s = c / (2 * kEarthRadius);
  if (s > 1) s = 1;  // rounding must not take asin out of its domain
  return 2 * kEarthRadius * std::asin(s);
}

// The split point is searched among the interior points only (an end point
// lies on the chord and would split nothing), and ranges wait on an explicit
// stack, so a long line can neither loop nor exhaust the call stack. Points
// are marked and compacted once at the end; the order in which ranges are
// taken does not change which points are kept.
size_t SimplifyDouglasPeucker(CReallocArray<TPointD>& points, double tolerance) {
  size_t n = points.Size();
  if (n < 3 || !(tolerance > 0)) return 0;  // at 0 every interior point splits
  CReallocArray<uint8_t> keep;
  keep.ResizeZeroed(n);
  keep[0] = keep[n - 1] = 1;
  CReallocArray<TRange> stack;
  stack.PushBack({0, n - 1});
  const TPointD* p = points.data;
  while (!stack.Empty()) {
    TRange range = stack.Back();
    stack.PopBack();
    double largest = -1;
    size_t split = 0;
    for (size_t i = range.first + 1; i < range.last; i++) {
      double d = SegmentDistanceOnSphere(p[range.first], p[range.last], p[i]);
      if (d > largest) {  // the earlier point wins a tie
        largest = d;
        split = i;
      }
    }
    if (!(largest >= tolerance)) continue;
    keep[split] = 1;
    if (range.last - split >= 2) stack.PushBack({split, range.last});
    if (split - range.first >= 2) stack.PushBack({range.first, split});
  }
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    if (keep[i]) points[out++] = points[i];
  }
  points.Resize(out);
  return n - out;
}

// A large outer ring is indexed by latitude band first, so a hole costs its
// points times a band rather than times the ring.
size_t RemovePointsOutside(CReallocArray<TPointD>& hole, const CReallocArray<TPointD>& outer) {
  size_t n = hole.Size();
  size_t out = 0;
  if (outer.Size() >= CRingIndex::kMinPoints) {
    CRingIndex index(outer);
    for (size_t i = 0; i < n; i++) {
      if (index.Contains(hole[i])) hole[out++] = hole[i];
    }
  } else {
    for (size_t i = 0; i < n; i++) {
      if (PointInPolygon(outer.data, outer.Size(), hole[i])) hole[out++] = hole[i];
    }
  }
  hole.Resize(out);
  return n - out;
}

// ---- The pass ------------------------------------------------------------------------

namespace {

struct TLevelCounters {
  uint64_t input = 0;
  uint64_t added = 0;
  uint64_t deleted = 0;
  uint64_t output = 0;
};

// A new geometry entry waiting to be appended.
struct TNewEntry {
  int level;
  size_t source;  // entry index it was made from
  uint8_t isHole;
  CReallocArray<TPointD> points;
};

constexpr int kLevelSlots = 256;  // TDataLevel::Level is a byte

// Which levels one object spans and where the geometry of each comes from.
struct TLevelPlan {
  int lowest = 0;
  int highest = -1;  // inclusive; below `lowest` when nothing is to be made
  int sourceOf[kLevelSlots];
  // The levels j (ascending) that take their geometry from level v.
  void MissingLevelsOf(int v, CReallocArray<int>& out) const {
    out.Clear();
    if (v < lowest || v > highest || sourceOf[v] != v) return;
    for (int j = v + 1; j <= highest && sourceOf[j] == v; j++) out.PushBack(j);
  }
};

const TPointD* FirstPoint(const CReallocArray<TDataLevel>& geometry) {
  for (const TDataLevel& entry : geometry) {
    if (!entry.Points.Empty()) return &entry.Points[0];
  }
  return nullptr;
}

class CGeneralizer {
 public:
  explicit CGeneralizer(const CReallocArray<uint8_t>& levelBits) : bits(levelBits) {
    counters.ResizeZeroed(bits.Size());
  }

  void Polygon(CPolygon& polygon);
  void Polyline(CPolyline& polyline);
  void LogCounters() const;

 private:
  int LevelCount() const { return static_cast<int>(bits.Size()); }
  double LineTolerance(int level) const { return ToleranceForIndex(bits[level]); }
  double AreaTolerance(int level) const {
    int below = bits[level > 0 ? level - 1 : 0];
    return ToleranceForIndex(below == 0 ? 0 : below - 1);
  }
  bool Plan(CMapObject& object, const CReallocArray<TDataLevel>& geometry, const char* kind, TLevelPlan& plan) const;
  void SimplifyInPlace(TDataLevel& entry, bool keep, double tolerance);

  const CReallocArray<uint8_t>& bits;
  CReallocArray<TLevelCounters> counters;
  CReallocArray<int> missing;
};

// Entries without points take no part (they never make a level); levels
// beyond the level table are left as they are.
bool CGeneralizer::Plan(CMapObject& object, const CReallocArray<TDataLevel>& geometry, const char* kind,
                        TLevelPlan& plan) const {
  bool present[kLevelSlots] = {};
  int lowest = kLevelSlots, highest = -1;
  for (const TDataLevel& entry : geometry) {
    if (entry.Points.Empty()) continue;
    present[entry.Level] = true;
    if (entry.Level < lowest) lowest = entry.Level;
    if (entry.Level > highest) highest = entry.Level;
  }
  if (highest < 0) return false;
  if (object.EndLevel != 255) {
    highest = object.EndLevel;
    object.EndLevel = 255;
  }
  if (highest >= LevelCount() - 1) {
    const TPointD* first = FirstPoint(geometry);
    g_Log.Print("w: %s has incorrect endlevel: %f %f\n", kind, first->y, first->x);
    highest = LevelCount() - 2;
  }
  plan.lowest = lowest;
  plan.highest = highest;
  int source = lowest;
  for (int j = lowest; j <= highest; j++) {
    if (present[j]) source = j;
    plan.sourceOf[j] = source;
  }
  return true;
}

void CGeneralizer::SimplifyInPlace(TDataLevel& entry, bool keep, double tolerance) {
  TLevelCounters& c = counters[entry.Level];
  c.input += entry.Points.Size();
  if (!keep) c.deleted += SimplifyDouglasPeucker(entry.Points, tolerance);
  c.output += entry.Points.Size();
}

void CGeneralizer::Polygon(CPolygon& polygon) {
  TLevelPlan plan;
  if (!Plan(polygon, polygon.Geometry, "polygon", plan)) return;
  CReallocArray<TDataLevel>& geometry = polygon.Geometry;
  const size_t count = geometry.Size();
  size_t outer = SIZE_MAX;  // the current outer ring
  CReallocArray<TNewEntry> made;
  for (size_t k = 0; k < count; k++) {
    TDataLevel& entry = geometry[k];
    if (entry.Points.Empty() || entry.Level >= LevelCount()) continue;
    int level = entry.Level;
    SimplifyInPlace(entry, level == plan.lowest, AreaTolerance(level));
    if (level != plan.lowest && entry.IsHole && outer != SIZE_MAX && geometry[outer].Level == level) {
      RemovePointsOutside(entry.Points, geometry[outer].Points);
    }
    if (!entry.IsHole) outer = k;
    plan.MissingLevelsOf(level, missing);
    for (int j : missing) made.PushBack({j, k, entry.IsHole, {}});
  }
  // Grouped by level, in entry order within a level.
  std::stable_sort(made.begin(), made.end(), [](const TNewEntry& a, const TNewEntry& b) { return a.level < b.level; });
  for (TNewEntry& m : made) {
    TDataLevel entry;
    entry.Level = static_cast<uint8_t>(m.level);
    entry.IsHole = m.isHole;
    entry.Points.Assign(geometry[m.source].Points.data, geometry[m.source].Points.Size());
    SimplifyDouglasPeucker(entry.Points, AreaTolerance(m.level));
    size_t index = geometry.Size();
    geometry.PushBack(std::move(entry));
    TDataLevel& added = geometry[index];
    if (added.IsHole) {
      if (outer != SIZE_MAX && geometry[outer].Level == added.Level) RemovePointsOutside(added.Points, geometry[outer].Points);
    } else {
      outer = index;
    }
    counters[m.level].added += added.Points.Size();
    counters[m.level].output += added.Points.Size();
  }
}

// New entries of a source entry are simplified cumulatively, each missing
// level from the one below; they are appended grouped by level, so the parts
// of a multi-part line stay runs of one level.
void CGeneralizer::Polyline(CPolyline& polyline) {
  TLevelPlan plan;
  if (!Plan(polyline, polyline.Geometry, "polyline", plan)) return;
  CReallocArray<TDataLevel>& geometry = polyline.Geometry;
  const size_t count = geometry.Size();
  CReallocArray<TNewEntry> made;
  for (size_t k = 0; k < count; k++) {
    TDataLevel& entry = geometry[k];
    if (entry.Points.Empty() || entry.Level >= LevelCount()) continue;
    // A road's route nodes index the points of its first entry: they stay.
    bool keep = entry.Level == plan.lowest || (k == 0 && polyline.Routing);
    SimplifyInPlace(entry, keep, LineTolerance(entry.Level));
    plan.MissingLevelsOf(entry.Level, missing);
    if (missing.Empty()) continue;
    CReallocArray<TPointD> work;
    work.Assign(entry.Points.data, entry.Points.Size());
    for (int j : missing) {
      SimplifyDouglasPeucker(work, LineTolerance(j));
      TNewEntry* m = made.PushBack({j, k, entry.IsHole, {}});
      m->points.Assign(work.data, work.Size());
      counters[j].added += work.Size();
      counters[j].output += work.Size();
    }
  }
  std::stable_sort(made.begin(), made.end(), [](const TNewEntry& a, const TNewEntry& b) { return a.level < b.level; });
  for (TNewEntry& m : made) {
    TDataLevel entry;
    entry.Level = static_cast<uint8_t>(m.level);
    entry.IsHole = m.isHole;
    entry.Points = std::move(m.points);
    geometry.PushBack(std::move(entry));
  }
}

void CGeneralizer::LogCounters() const {
  g_Log.PrintText("Level\tinput\tadded\tdeleted\toutput");
  for (size_t i = 0; i < counters.Size(); i++) {
    const TLevelCounters& c = counters[i];
    g_Log.Print("%d:\t%llu\t%llu\t%llu\t%llu", static_cast<int>(i), static_cast<unsigned long long>(c.input),
                static_cast<unsigned long long>(c.added), static_cast<unsigned long long>(c.deleted),
                static_cast<unsigned long long>(c.output));
  }
}

void PrintProgress(size_t done, size_t total) {
  if (done % 100 != 0) return;
  std::printf("\r%3.2f%%", static_cast<double>(done) * 100 / static_cast<double>(total));
  std::fflush(stdout);
}

void EndProgress() {
  std::printf("\n");
  std::fflush(stdout);
  g_Log.PrintText("\n");
}

}  // namespace

void Generalize(CMap& map) {
  if (map.LevelCount() < 2) {
    g_Log.PrintText("w: generalization needs at least 2 levels; skipped");
    return;
  }
  CGeneralizer generalizer(map.Header->Levels);
  g_Log.PrintText("Processing polygons");
  for (size_t i = 0; i < map.Polygons.Size(); i++) {
    PrintProgress(i, map.Polygons.Size());
    generalizer.Polygon(*map.Polygon(i));
  }
  EndProgress();
  g_Log.PrintText("Processing polylines");
  for (size_t i = 0; i < map.Polylines.Size(); i++) {
    PrintProgress(i, map.Polylines.Size());
    generalizer.Polyline(*map.Polyline(i));
  }
  EndProgress();
  generalizer.LogCounters();
}

}  // namespace PolskiFormat
