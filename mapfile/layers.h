// The layers tables: a level table that replaces each map's own levels, and
// per object kind the range of levels on which a type is shown. The
// application fills them from its layers configuration file
// (app/layersconfig.h); the map writer reads them.
#pragma once

#include <cstdint>

#include "core/containers.h"

enum TLayerKind { LayerPoi = 0, LayerPolyline = 1, LayerPolygon = 2 };

struct TLayerRange {
  uint8_t from;
  uint8_t to;
};

struct TLayerEntry {
  uint32_t type;
  TLayerRange range;
};

struct TLayerEntryCompare {
  int operator()(uint32_t type, const TLayerEntry& e) const { return type < e.type ? -1 : (type > e.type ? 1 : 0); }
  int operator()(const TLayerEntry& a, const TLayerEntry& b) const { return (*this)(a.type, b); }
};

class CLayersConfig {
 public:
  using TTable = CAvlTreeMap<TLayerEntry, TLayerEntryCompare>;

  CLayersConfig();
  CLayersConfig(const CLayersConfig&) = delete;
  CLayersConfig& operator=(const CLayersConfig&) = delete;

  // Empties the level table and the three type tables.
  void Reset();
  // The configuration replaces the maps' levels only with two levels or more.
  bool InUse() const { return levels.Size() > 1; }
  // The level range of a type, or null when the kind's table lacks it.
  const TLayerRange* Find(TLayerKind kind, uint32_t type) const;

  CReallocArray<uint8_t> levels;  // entry N: bits of level N, 0 when not given
  TTable::TPool pool;
  TTable tables[3];  // indexed by TLayerKind
};
