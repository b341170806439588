// The reference for every route check: a plain Dijkstra over the states
// (oriented link, chain progress, area state) of a road network described
// in neutral terms. Each test fills the description from its own source
// (a road graph's arrays, an .mp map's roads, tiles cut from a network), so
// the reference shares no code with the graphs it checks.
//
// A legal route is a sequence of oriented links l0, l1, ..., lk in which
// each link starts at the node where the one before it ends, and:
//   1. no turn li -> li+1 is named by a restriction key (start node of li,
//      the node between them, end node of li+1, road of li, road of li+1).
//      Reversing onto the same link is a turn like any other;
//   2. no run of consecutive links equals the links of a chain restriction
//      (road i from node i to node i + 1, for every road of the chain);
//   3. once the route has left a link of a road outside the area (a road
//      without the area flag), it may not leave an area link for a link
//      outside the area: it may use area links only at its beginning and at
//      its end, never pass through an area.
//   4. when avoiding type 0x0a roads, no link of such a road but the last.
// Its cost is the sum of the costs of all its links but the last.
// A link costs, in metric 0 (Distance), its length in metres; in metric 1
// (Time), metres x 576 / (10 x speed in km/h), truncated; at least 1 and
// at most 2^30 - 1 in both.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <queue>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace RefRoute {

constexpr uint64_t kNoPath = UINT64_MAX;

struct TRoad {
  uint32_t id;
  uint32_t speed;  // km/h, above 0
  bool oneWay;     // only from -> to along its links
  bool type0a;
  bool area;
};

// A segment of a road between two consecutive route nodes, in the road's
// point order.
struct TLink {
  uint32_t from, to, road;
  uint32_t metres;
};

struct TRestriction {
  uint32_t fromNode, viaNode, toNode, fromRoad, toRoad;
};

// roads[i] runs from nodes[i] to nodes[i + 1].
struct TChain {
  std::vector<uint32_t> nodes;
  std::vector<uint32_t> roads;
};

struct TNetwork {
  std::vector<TRoad> roads;
  std::vector<TLink> links;
  std::vector<TRestriction> restrictions;
  std::vector<TChain> chains;
};

using TLinkKey = std::tuple<uint32_t, uint32_t, uint32_t>;  // start node, end node, road

class CReference {
 public:
  CReference(const TNetwork& net, uint32_t metric) {
    std::map<uint32_t, const TRoad*> roadById;
    for (const TRoad& r : net.roads) roadById[r.id] = &r;
    for (const TLink& l : net.links) {
      auto it = roadById.find(l.road);
      if (it == roadById.end()) continue;
      const TRoad& r = *it->second;
      uint64_t cost = metric == 0 ? l.metres : uint64_t{l.metres} * 576 / (10 * uint64_t{r.speed});
      cost = std::clamp<uint64_t>(cost, 1, 0x3fffffff);
      Add({l.from, l.to, l.road}, cost, r);
      if (!r.oneWay) Add({l.to, l.from, l.road}, cost, r);
    }
    std::map<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>, bool> keys;
    for (const TRestriction& k : net.restrictions) keys[{k.fromNode, k.viaNode, k.toNode, k.fromRoad, k.toRoad}] = true;
    std::multimap<uint32_t, uint32_t> byStart;
    for (uint32_t k = 0; k < links.size(); k++) byStart.insert({std::get<0>(links[k]), k});
    out.resize(links.size());
    for (uint32_t j = 0; j < links.size(); j++) {
      auto [s, e, r] = links[j];
      for (auto [it, end] = byStart.equal_range(e); it != end; ++it) {
        auto [s2, e2, r2] = links[it->second];
        if (!keys.count({s, e, e2, r, r2})) out[j].push_back(it->second);
      }
    }
    startsWith.resize(links.size());
    for (const TChain& c : net.chains) {
      if (c.roads.empty() || c.nodes.size() != c.roads.size() + 1) continue;
      std::vector<uint32_t> seq;
      for (size_t i = 0; i < c.roads.size(); i++) {
        auto it = index.find({c.nodes[i], c.nodes[i + 1], c.roads[i]});
        if (it == index.end()) break;
        seq.push_back(it->second);
      }
      if (seq.size() != c.roads.size()) continue;  // a link it names does not exist: it can never match
      startsWith[seq[0]].push_back(static_cast<uint32_t>(chains.size()));
      chains.push_back(seq);
    }
  }

  size_t Size() const { return links.size(); }
  const TLinkKey& Link(uint32_t i) const { return links[i]; }
  bool Has(const TLinkKey& k) const { return index.count(k) != 0; }
  uint32_t Index(const TLinkKey& k) const { return index.at(k); }
  uint64_t Cost(uint32_t i) const { return cost[i]; }
  bool Area(uint32_t i) const { return area[i]; }

  // The cost of the shortest legal route from the source link to every
  // link, kNoPath where there is none (the source itself costs 0).
  std::vector<uint64_t> From(uint32_t source, bool avoid0a) const {
    // States packed as (progress id, link, left); progress sets are
    // numbered as they are met, the empty one 0.
    std::unordered_map<uint64_t, uint64_t> dist;
    auto pack = [](uint32_t progress, uint32_t link, bool left) {
      return uint64_t{progress} << 33 | uint64_t{link} << 1 | (left ? 1 : 0);
    };
    using TItem = std::pair<uint64_t, uint64_t>;
    std::priority_queue<TItem, std::vector<TItem>, std::greater<TItem>> queue;
    std::vector<uint64_t> best(links.size(), kNoPath);
    uint32_t progress = 0;
    if (!Advance(0, source, &progress)) return best;  // a one-link chain forbids the link itself
    dist[pack(progress, source, false)] = 0;
    queue.push({0, pack(progress, source, false)});
    while (!queue.empty()) {
      auto [d, st] = queue.top();
      queue.pop();
      if (dist[st] != d) continue;
      const uint32_t link = static_cast<uint32_t>(st >> 1 & 0xffffffff), at = static_cast<uint32_t>(st >> 33);
      const bool left = st & 1;
      best[link] = std::min(best[link], d);
      if (avoid0a && type0a[link]) continue;
      for (uint32_t k : out[link]) {
        // Area rule: a route that has left the area may not leave it again.
        if (area[link] && left && !area[k]) continue;
        uint32_t next = 0;
        if (!Advance(at, k, &next)) continue;
        const uint64_t key = pack(next, k, left || !area[link]);
        const uint64_t nd = d + cost[link];
        auto it = dist.find(key);
        if (it == dist.end() || nd < it->second) {
          dist[key] = nd;
          queue.push({nd, key});
        }
      }
    }
    return best;
  }

 private:
  // (chain, links of it matched so far) for every chain the route is in.
  using TProgress = std::vector<std::pair<uint32_t, uint32_t>>;

  void Add(const TLinkKey& key, uint64_t c, const TRoad& r) {
    if (index.count(key)) return;  // the same oriented link twice (a road over one node pair twice)
    index[key] = static_cast<uint32_t>(links.size());
    links.push_back(key);
    cost.push_back(c);
    type0a.push_back(r.type0a);
    area.push_back(r.area);
  }

  // The progress after entering `link` from the progress numbered `active`,
  // numbered into *next; false when a chain completes.
  bool Advance(uint32_t active, uint32_t link, uint32_t* next) const {
    if (active == 0 && startsWith[link].empty()) {
      *next = 0;
      return true;
    }
    TProgress result;
    bool forbidden = false;
    auto step = [&](uint32_t chain, uint32_t matched) {
      if (chains[chain][matched] != link) return;
      if (matched + 1 == chains[chain].size()) {
        forbidden = true;
      } else {
        result.push_back({chain, matched + 1});
      }
    };
    for (auto [c, m] : progressOf[active]) step(c, m);
    for (uint32_t c : startsWith[link]) step(c, 0);
    if (forbidden) return false;
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    auto [it, added] = progressId.insert({result, static_cast<uint32_t>(progressOf.size())});
    if (added) progressOf.push_back(result);
    *next = it->second;
    return true;
  }

  std::vector<TLinkKey> links;
  std::vector<uint64_t> cost;
  std::vector<bool> type0a, area;
  std::map<TLinkKey, uint32_t> index;
  std::vector<std::vector<uint32_t>> out;
  std::vector<std::vector<uint32_t>> chains;
  std::vector<std::vector<uint32_t>> startsWith;  // chains by their first link
  mutable std::vector<TProgress> progressOf{TProgress{}};
  mutable std::map<TProgress, uint32_t> progressId{{TProgress{}, 0}};
};

}  // namespace RefRoute
