#include "mapfile/layers.h"

CLayersConfig::CLayersConfig() : pool(100), tables{TTable(&pool), TTable(&pool), TTable(&pool)} {}

void CLayersConfig::Reset() {
  levels.Clear();
  for (TTable& t : tables) t.Clear();
}

const TLayerRange* CLayersConfig::Find(TLayerKind kind, uint32_t type) const {
  TTable::TNode* n = tables[kind].Find(type);
  return n ? &n->value.range : nullptr;
}
