// mpgen: writes a synthetic Polish-format (.mp) map of any size, the same
// bytes for the same seed and size.
//
//   mpgen --objects N [--seed S] [--cp1252] [--crlf] [--peer] [--tile] [--areas] [-o out.mp]
//   mpgen --country K --objects N [--seed S] [...] -o DIR
//
// The map is a city-like grid: a street network with arterials every 8th
// row and column (one-ways, tolls, footways, multi-part streets, route
// nodes, house numbers, height levels, lanes), turn restrictions and lane
// connections at the crossings, buildings, POIs with addresses and opening
// hours, parks with holes, lakes with islands drawn on three levels, rivers,
// and the countries/regions/cities lists the objects point into. A little
// noise is mixed in for the cleaning passes: repeated vertices, spikes and
// duplicated objects. N counts the POI, POLYLINE and POLYGON sections
// (within a few percent); a summary goes to standard error. --peer leaves
// out the multi-part streets (their "NodesN" keys), which the peer converter
// of the benchmark does not read. --tile makes the crossings of the outer
// ring bound nodes, as on a tile cut from a larger map (routes enter and
// leave there); --areas makes the local streets of one zone between
// arterials in five area roads (RouteParamExt). Neither changes the rest of
// the map.
//
// --country K writes a country cut into K x K tiles of about N objects each,
// DIR/tile-RR-CC.mp (row 0 in the south). The tiles lie side by side on one
// grid; every street line runs on across each tile side in a short stub road
// that ends on the side, half a cell out, at a bound node. Two neighbouring
// tiles compute that node from the same two crossings, so it has the same
// coordinates in both, and the atlas joins them there; only the stubs on the
// country's outer ring stay unmatched.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

// ---- Deterministic randomness (no std distributions: their output differs
// between library versions) --------------------------------------------------
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class CRandom {
 public:
  explicit CRandom(uint64_t seed) : state(Mix(seed)) {}
  uint64_t Next() { return state = Mix(state); }
  // Uniform in [0, n).
  uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>((Next() >> 32) * n >> 32) : 0; }
  bool Chance(double p) { return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p; }
  int32_t Range(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(Below(static_cast<uint32_t>(hi - lo + 1))); }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Below(N)];
  }

 private:
  uint64_t state;
};

// ---- Output ----------------------------------------------------------------
// Coordinates are held in 1e-7 degrees and printed like the real maps: up to
// seven decimals, trailing zeros dropped.
struct TPoint {
  int64_t lat, lon;
};

class COutput {
 public:
  COutput(FILE* f, bool cp1252, bool crlf) : file(f), cp1252(cp1252), crlf(crlf) { buffer.reserve(kFlushAt + 65536); }
  ~COutput() { Flush(); }

  void Raw(const char* s) { buffer.append(s); }
  void Raw(const std::string& s) { buffer.append(s); }
  void Char(char c) { buffer.push_back(c); }
  // Text of names: UTF-8 in the program, Latin-1 letters only, so code page
  // 1252 is the code point as one byte.
  void Text(const std::string& s) {
    if (!cp1252) {
      buffer.append(s);
      return;
    }
    for (size_t i = 0; i < s.size(); i++) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == 0xC2 || c == 0xC3) {
        buffer.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F)));
        i++;
      } else {
        buffer.push_back(static_cast<char>(c));
      }
    }
  }
  void Int(int64_t v) {
    char tmp[24];
    int n = std::snprintf(tmp, sizeof tmp, "%" PRId64, v);
    buffer.append(tmp, static_cast<size_t>(n));
  }
  void Degrees(int64_t e7) {
    if (e7 < 0) {
      buffer.push_back('-');
      e7 = -e7;
    }
    Int(e7 / 10000000);
    int64_t frac = e7 % 10000000;
    if (!frac) return;
    char digits[8];
    for (int i = 6; i >= 0; i--, frac /= 10) digits[i] = static_cast<char>('0' + frac % 10);
    int n = 7;
    while (digits[n - 1] == '0') n--;
    buffer.push_back('.');
    buffer.append(digits, static_cast<size_t>(n));
  }
  void Point(const TPoint& p) {
    buffer.push_back('(');
    Degrees(p.lat);
    buffer.push_back(',');
    Degrees(p.lon);
    buffer.push_back(')');
  }
  void Points(const std::vector<TPoint>& points) {
    for (size_t i = 0; i < points.size(); i++) {
      if (i) buffer.push_back(',');
      Point(points[i]);
    }
  }
  void EndLine() {
    if (crlf) buffer.push_back('\r');
    buffer.push_back('\n');
    if (buffer.size() >= kFlushAt) Flush();
  }
  void Line(const char* s) {
    Raw(s);
    EndLine();
  }
  void Key(const char* key) {
    Raw(key);
    Char('=');
  }
  // "NameN=" (the value follows).
  void NumberedKey(const char* name, int64_t n) {
    Raw(name);
    Int(n);
    Char('=');
  }
  void NumberedText(const char* name, int64_t n, const std::string& value) {
    NumberedKey(name, n);
    Text(value);
    EndLine();
  }
  void NumberedInt(const char* name, int64_t n, int64_t value) {
    NumberedKey(name, n);
    Int(value);
    EndLine();
  }
  void KeyText(const char* key, const std::string& value) {
    Key(key);
    Text(value);
    EndLine();
  }
  void KeyInt(const char* key, int64_t value) {
    Key(key);
    Int(value);
    EndLine();
  }
  void Flush() {
    if (buffer.empty()) return;
    if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) {
      std::perror("mpgen: write");
      std::exit(1);
    }
    bytes += buffer.size();
    buffer.clear();
  }
  uint64_t bytes = 0;

 private:
  static constexpr size_t kFlushAt = 1 << 20;
  FILE* file;
  bool cp1252, crlf;
  std::string buffer;
};

// ---- Names -----------------------------------------------------------------
const char* const kSyllables[] = {"ber", "lin", "gau", "stein", "mar", "kir", "au", "dorf", "wald", "ried",
                                  "val", "mont", "san", "ro", "ca", "del", "bur", "hei", "sch", "wil",
                                  "mü", "lé", "brü", "fä", "çà", "ñe", "ö", "zé", "ho", "ven"};
const char* const kStreetKinds[] = {"straße", "weg", "gasse", " Allee", "platz", " Road", " Street", "ring"};
const char* const kShops[] = {"Café", "Bäckerei", "Restaurant", "Apotheke", "Hotel", "Bar", "Boutique", "Garage"};
const char* const kOpeningHours[] = {
    "Mo-Fr 08:00-18:00; Sa 09:00-13:00", "24/7", "Mo-Su 10:00-22:00", "Mo-Fr 07:30-12:00,13:30-18:30",
    "Tu-Sa 11:00-14:00,18:00-23:00; Mo off", "Dec 24 off", "Jan-Mar Sa-Su 09:00-17:00", "sunrise-sunset",
    "Su[-1] 10:00-12:00", "Mo-Fr 18:00+", "Apr 1-15 Mo-Fr 08:00-12:00; PH off", "sunset-(sunrise+01:00)"};

struct TPoiKind {
  uint32_t type;
  const char* const* names;
};

// Upper-cases the first letter, ASCII or Latin-1 (UTF-8 C3 A0..BE).
std::string Capitalized(std::string s) {
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  if (s.size() > 1 && s[0] == '\xC3' && static_cast<unsigned char>(s[1]) >= 0xA0 && s[1] != '\xB7' &&
      s[1] != '\xBF') {
    s[1] = static_cast<char>(s[1] - 0x20);
  }
  return s;
}

std::string Word(CRandom& rnd, int syllables) {
  std::string w;
  for (int i = 0; i < syllables; i++) w += rnd.Pick(kSyllables);
  return Capitalized(w);
}

// ---- The map ---------------------------------------------------------------
constexpr int64_t kLat0 = 470000000, kLon0 = 80000000;  // south-west corner, 1e-7 degrees
constexpr int64_t kCellLat = 9000, kCellLon = 13000;     // about 100 m by 100 m
constexpr int kArterial = 8, kPrimary = 32, kCityBlock = 16, kRegionBlock = 128;
// Objects per grid cell, measured: sets the grid size for a wanted count.
constexpr double kObjectsPerCell = 2.2;

struct TCounts {
  uint64_t pois = 0, polylines = 0, polygons = 0, restrictions = 0, lanes = 0, roads = 0;
  uint64_t outer = 0;  // stubs on the country's outer ring: the bound nodes no other tile matches
  uint64_t Objects() const { return pois + polylines + polygons; }
  void Add(const TCounts& o) {
    pois += o.pois, polylines += o.polylines, polygons += o.polygons;
    restrictions += o.restrictions, lanes += o.lanes, roads += o.roads, outer += o.outer;
  }
};

// One tile of a --country run: its place, and the country's seed that fixes
// the crossings (size 0: a single map).
struct TTile {
  int row = 0, col = 0, size = 0;  // size: tiles per side
  uint64_t countrySeed = 0;
};

class CGenerator {
 public:
  CGenerator(COutput& out, uint64_t seed, uint64_t objects, bool cp1252, bool peer, bool tile, bool areas,
             const TTile& place = {})
      : out(out), seed(seed), rnd(seed), cp1252(cp1252), peer(peer), tile(tile), areas(areas),
        country(place.size > 0), place(place), nodeSeed(country ? place.countrySeed : seed) {
    grid = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(objects) / kObjectsPerCell)));
    if (grid < 4) grid = 4;
    rowOffset = place.row * grid;
    colOffset = place.col * grid;
    name = country ? "Synthetic tile " + std::to_string(place.row) + "-" + std::to_string(place.col) + " of " +
                         std::to_string(place.countrySeed)
                   : "Synthetic map " + std::to_string(seed);
    hRoad.assign(static_cast<size_t>(grid) * grid, 0);
    vRoad.assign(static_cast<size_t>(grid) * grid, 0);
    int blocks = (grid + kCityBlock - 1) / kCityBlock;
    citiesPerRow = blocks;
    cityCount = blocks * blocks;
    int regionBlocks = (grid + kRegionBlock - 1) / kRegionBlock;
    regionsPerRow = regionBlocks;
    regionCount = regionBlocks * regionBlocks;
    countryCount = regionCount > 1 ? 2 : 1;
  }

  void Run() {
    Header();
    AddressLists();
    out.Raw("; ### Simple objects");
    out.EndLine();
    Background();
    for (int r = 0; r + 1 < grid; r++) {
      for (int c = 0; c + 1 < grid; c++) Cell(r, c);
    }
    for (int r = 0; r < grid; r += kCityBlock) {
      for (int c = 0; c < grid; c += kCityBlock) Block(r, c);
    }
    Rivers();
    out.Raw("; ### Roads");
    out.EndLine();
    for (int r = 0; r < grid; r++) StreetsAlong(r, true);
    for (int c = 0; c < grid; c++) StreetsAlong(c, false);
    if (country) BorderStubs();
    out.Raw("; ### Turn restrictions");
    out.EndLine();
    Restrictions();
    LaneConnections();
    out.Flush();
  }

  TCounts counts;

 private:
  // ---- Positions -----------------------------------------------------------
  // Crossings are shifted by a few metres, the same for every reader: on a
  // country's grid, the same for the tiles on both sides of a border too.
  TPoint Node(int r, int c) const {
    int64_t gr = r + rowOffset, gc = c + colOffset;
    uint64_t h = Mix(nodeSeed ^ (static_cast<uint64_t>(static_cast<uint32_t>(gr)) << 32 | static_cast<uint32_t>(gc)));
    return {kLat0 + gr * kCellLat + static_cast<int64_t>(h % 401) - 200,
            kLon0 + gc * kCellLon + static_cast<int64_t>((h >> 16) % 401) - 200};
  }
  // The tile's sides, half a cell outside its outer crossings.
  int64_t SouthLat() const { return kLat0 + rowOffset * kCellLat - kCellLat / 2; }
  int64_t NorthLat() const { return SouthLat() + grid * kCellLat; }
  int64_t WestLon() const { return kLon0 + colOffset * kCellLon - kCellLon / 2; }
  int64_t EastLon() const { return WestLon() + grid * kCellLon; }
  uint32_t NodeId(int r, int c) const { return static_cast<uint32_t>(r) * static_cast<uint32_t>(grid) + c + 1; }
  // 1-based index of the city whose block holds the cell.
  int CityOf(int r, int c) const { return (r / kCityBlock) * citiesPerRow + c / kCityBlock + 1; }
  // A street's fixed name, from its row or column.
  std::string StreetName(int line, bool horizontal) const {
    CRandom names(seed * 31 + static_cast<uint64_t>(line) * 2 + horizontal);
    return Word(names, names.Range(1, 3)) + names.Pick(kStreetKinds);
  }

  void Comment(const char* what, uint64_t id) {
    out.Raw("; ");
    out.Raw(what);
    out.Raw(" = ");
    out.Int(static_cast<int64_t>(id));
    out.EndLine();
  }
  // The address of an object: by index into the cities list mostly, by names
  // sometimes (never both: the loader refuses that).
  void Address(int r, int c) {
    int city = CityOf(r, c);
    if (rnd.Chance(0.8)) {
      out.KeyInt("CityIdx", city);
    } else {
      out.KeyText("CityName", CityName(city));
      if (rnd.Chance(0.5)) out.KeyText("RegionName", RegionName(RegionOfCity(city)));
      out.KeyText("CountryName", CountryName(CountryOfRegion(RegionOfCity(city))));
    }
  }
  std::string CityName(int city) const {
    CRandom names(seed * 7 + static_cast<uint64_t>(city));
    return Word(names, names.Range(2, 3));
  }
  std::string RegionName(int region) const {
    CRandom names(seed * 11 + static_cast<uint64_t>(region));
    return "Kanton " + Word(names, 2);
  }
  std::string CountryName(int country) const { return country == 1 ? "Synthesia" : "Nordmark"; }
  int RegionOfCity(int city) const {
    int row = (city - 1) / citiesPerRow, col = (city - 1) % citiesPerRow;
    return (row * kCityBlock / kRegionBlock) * regionsPerRow + col * kCityBlock / kRegionBlock + 1;
  }
  int CountryOfRegion(int region) const { return countryCount == 1 || region % 2 ? 1 : 2; }

  // ---- Sections ------------------------------------------------------------
  void Header() {
    out.Line("[IMG ID]");
    out.KeyInt("ID", static_cast<int64_t>(10000000 + seed % 80000000));
    out.KeyText("Name", name);
    out.Line("Copyright=Generated by mpgen|no real data");
    out.Line("LblCoding=9");
    out.Line(cp1252 ? "CodePage=1252" : "CodePage=65001");
    out.Line("Levels=5");
    out.Line("Level0=24");
    out.Line("Level1=22");
    out.Line("Level2=20");
    out.Line("Level3=18");
    out.Line("Level4=16");
    out.Line("Elevation=M");
    out.Line("Routing=Y");
    out.Line("TreSize=3000");
    out.Line("POIIndex=Y");
    out.Line("[END-IMG ID]");
    out.EndLine();
  }

  void AddressLists() {
    out.Line("[Countries]");
    for (int i = 1; i <= countryCount; i++) out.NumberedText("Country", i, CountryName(i));
    out.Line("[END-Countries]");
    out.EndLine();
    out.Line("[Regions]");
    for (int i = 1; i <= regionCount; i++) {
      out.NumberedText("Region", i, RegionName(i));
      out.NumberedInt("CountryIdx", i, CountryOfRegion(i));
    }
    out.Line("[END-Regions]");
    out.EndLine();
    out.Line("[Cities]");
    for (int i = 1; i <= cityCount; i++) {
      out.NumberedText("City", i, CityName(i));
      out.NumberedInt("RegionIdx", i, RegionOfCity(i));
    }
    out.Line("[END-Cities]");
    out.EndLine();
  }

  void Polygon(uint32_t type, const std::vector<std::vector<TPoint>>& rings, const std::vector<int>& levels,
               int endLevel, const std::string& label) {
    Comment("WayID", ++wayId);
    out.Line("[POLYGON]");
    for (size_t i = 0; i < rings.size(); i++) {
      out.Raw("Data");
      out.Int(levels[i]);
      out.Char('=');
      out.Points(rings[i]);
      out.EndLine();
    }
    if (endLevel >= 0) out.KeyInt("EndLevel", endLevel);
    char typeText[16];
    std::snprintf(typeText, sizeof typeText, "0x%02X", type);
    out.KeyText("Type", typeText);
    out.KeyText("Label", label);
    counts.polygons++;
  }

  void Background() {
    std::vector<TPoint> ring = {Node(0, 0), Node(0, grid - 1), Node(grid - 1, grid - 1), Node(grid - 1, 0), Node(0, 0)};
    if (country) {  // out to the sides, so that the tiles' land meets
      ring = {{SouthLat(), WestLon()}, {SouthLat(), EastLon()}, {NorthLat(), EastLon()}, {NorthLat(), WestLon()},
              {SouthLat(), WestLon()}};
    }
    Polygon(0x4B, {ring}, {0}, 3, "");
    out.Line("[END]");
    out.EndLine();
  }

  // A building inside the cell: a rectangle or an L, closed like the real
  // maps (the first vertex repeated), sometimes with a spike or a doubled vertex.
  std::vector<TPoint> Building(int r, int c, int slot) {
    TPoint base = Node(r, c);
    int64_t lat = base.lat + kCellLat * (15 + 40 * (slot % 2)) / 100 + rnd.Range(0, 600);
    int64_t lon = base.lon + kCellLon * (15 + 40 * (slot / 2 % 2)) / 100 + rnd.Range(0, 900);
    int64_t h = rnd.Range(800, 2500), w = rnd.Range(1000, 3500);
    std::vector<TPoint> ring;
    if (rnd.Chance(0.15)) {
      ring = {{lat, lon}, {lat, lon + w}, {lat + h / 2, lon + w}, {lat + h / 2, lon + w / 2}, {lat + h, lon + w / 2},
              {lat + h, lon}};
    } else {
      ring = {{lat, lon}, {lat, lon + w}, {lat + h, lon + w}, {lat + h, lon}};
    }
    if (rnd.Chance(0.01)) ring.insert(ring.begin() + 2, ring[1]);  // a doubled vertex
    if (rnd.Chance(0.01)) {                                       // a spike out and back
      TPoint tip = {ring[1].lat - 300, ring[1].lon + 200};
      ring.insert(ring.begin() + 2, {tip, ring[1]});
    }
    ring.push_back(ring[0]);
    return ring;
  }

  void Cell(int r, int c) {
    int buildings = static_cast<int>(rnd.Below(3)) + (rnd.Chance(0.1) ? 1 : 0);
    for (int b = 0; b < buildings; b++) {
      std::vector<TPoint> ring = Building(r, c, b);
      bool addressed = rnd.Chance(0.3);
      int copies = rnd.Chance(0.004) ? 2 : 1;  // an exact duplicate for the duplicate removal
      for (int k = 0; k < copies; k++) {
        Polygon(0x13, {ring}, {0}, -1, "");
        if (addressed) {
          out.KeyInt("HouseNumber", b * 2 + 1 + c * 10);
          out.KeyText("StreetDesc", StreetName(r, true));
          out.KeyInt("CityIdx", CityOf(r, c));
        }
        out.Line("[END]");
        out.EndLine();
      }
    }
    if (rnd.Chance(0.36)) Poi(r, c);
  }

  void Poi(int r, int c) {
    static const char* const kFood[] = {"Zum Löwen", "Bella Vista", "Chez Marcel", "Sonnenhof"};
    static const uint32_t kTypes[] = {0x2A00, 0x2A01, 0x2A07, 0x2B01, 0x2C04, 0x2E00, 0x2E02, 0x2F06,
                                      0x2F08, 0x3000, 0x4400, 0x6400, 0x6414, 0x6616, 0x2F01, 0x2D02};
    TPoint base = Node(r, c);
    TPoint at = {base.lat + kCellLat / 10 + rnd.Range(0, kCellLat * 8 / 10),
                 base.lon + kCellLon / 10 + rnd.Range(0, kCellLon * 8 / 10)};
    uint32_t type = kTypes[rnd.Below(16)];
    std::string label = type == 0x6616 ? Word(rnd, 2) + "~[0x1f]" + std::to_string(rnd.Range(400, 3000))
                                       : std::string(rnd.Pick(kShops)) + " " + rnd.Pick(kFood);
    bool twoLevels = rnd.Chance(0.02);
    int copies = rnd.Chance(0.005) ? 2 : 1;
    CRandom extras(rnd.Next());
    for (int k = 0; k < copies; k++) {
      CRandom e = extras;
      Comment("NodeID", ++nodeCommentId);
      out.Line(rnd.Chance(0.02) ? "[RGN10]" : "[POI]");
      out.Key("Data0");
      out.Point(at);
      out.EndLine();
      if (twoLevels) {
        out.Key("Data1");
        out.Point({at.lat + 100, at.lon + 100});
        out.EndLine();
      }
      char typeText[16];
      std::snprintf(typeText, sizeof typeText, "0x%04X", type);
      out.KeyText("Type", typeText);
      out.KeyText("Label", label);
      if (e.Chance(0.2)) out.KeyInt("EndLevel", 1);
      out.KeyInt("HouseNumber", c * 10 + e.Range(1, 9));
      out.KeyText("StreetDesc", StreetName(r, true));
      Address(r, c);
      if (e.Chance(0.4)) out.KeyText("Phone", "+41 " + std::to_string(e.Range(200, 999)) + " " +
                                                  std::to_string(e.Range(1000000, 9999999)));
      if (e.Chance(0.2)) out.KeyText("WebPage", "https://example.org/" + std::to_string(e.Next() % 100000));
      if (e.Chance(0.1)) out.KeyText("Email", "info@example.org");
      if (e.Chance(0.05)) out.KeyText("Fax", "+41 1 234 56 78");
      if (e.Chance(0.3)) out.KeyText("OpeningHours", e.Pick(kOpeningHours));
      if (e.Chance(0.05)) {
        out.Key("EntryPoint");
        out.Point({at.lat - 50, at.lon});
        out.Raw(",Main entrance");
        out.EndLine();
      }
      if (e.Chance(0.05)) {
        out.KeyText("Text", "Terrasse, Parkplatz");
        out.KeyText("Text", "Barrierefrei");
      }
      if (e.Chance(0.02)) out.KeyText("Highway", "A" + std::to_string(e.Range(1, 20)));
      if (e.Chance(0.02)) out.Line("OvernightParking=Y");
      out.Line("[END]");
      out.EndLine();
      counts.pois++;
    }
  }

  // Once per city block: the city itself, a park with a pond as its hole,
  // sometimes a lake with an island drawn on three levels.
  void Block(int r0, int c0) {
    int city = CityOf(r0, c0);
    Comment("NodeID", ++nodeCommentId);
    out.Line("[POI]");
    out.Key("Data0");
    out.Point(Node(std::min(r0 + kCityBlock / 2, grid - 1), std::min(c0 + kCityBlock / 2, grid - 1)));
    out.EndLine();
    out.Line("EndLevel=3");
    out.Line("Type=0x0B00");
    out.KeyText("Label", CityName(city));
    out.Line("City=Y");
    out.KeyInt("CityIdx", city);
    out.Line("[END]");
    out.EndLine();
    counts.pois++;
    if (r0 + 8 >= grid || c0 + 8 >= grid) return;
    for (int k = 0; k < 4; k++) {
      int r = r0 + 1 + 4 * (k / 2), c = c0 + 1 + 4 * (k % 2);
      if (!rnd.Chance(0.5)) continue;
      TPoint a = Node(r, c), b = Node(r + 3, c + 3);
      a = {a.lat + 400, a.lon + 600};
      b = {b.lat - 400, b.lon - 600};
      std::vector<TPoint> outer = {a, {a.lat, b.lon}, b, {b.lat, a.lon}, a};
      int64_t mlat = (a.lat + b.lat) / 2, mlon = (a.lon + b.lon) / 2;
      std::vector<TPoint> pond = {{mlat - 2000, mlon - 3000}, {mlat - 2000, mlon + 3000}, {mlat + 2000, mlon + 3000},
                                  {mlat + 2000, mlon - 3000}, {mlat - 2000, mlon - 3000}};
      Polygon(k % 2 ? 0x17 : 0x50, {outer, pond}, {0, 0}, 2, Word(rnd, 2) + "park");
      out.KeyInt("CityIdx", city);
      out.Line("[END]");
      out.EndLine();
    }
    if (!rnd.Chance(0.4) || r0 + kCityBlock >= grid || c0 + kCityBlock >= grid) return;
    // A lake between the streets: many vertices on level 0, fewer above.
    TPoint centre = Node(r0 + 10, c0 + 10);
    centre = {centre.lat + kCellLat / 2, centre.lon + kCellLon / 2};
    std::vector<TPoint> lake;
    const int n = 48;
    for (int i = 0; i < n; i++) {
      double angle = 2 * std::numbers::pi * i / n;
      double radius = 0.35 + 0.1 * static_cast<double>(rnd.Below(100)) / 100;
      lake.push_back({centre.lat + static_cast<int64_t>(kCellLat * radius * std::sin(angle)),
                      centre.lon + static_cast<int64_t>(kCellLon * radius * std::cos(angle))});
    }
    lake.push_back(lake[0]);
    std::vector<TPoint> island = {{centre.lat - 600, centre.lon - 800},
                                  {centre.lat - 600, centre.lon + 800},
                                  {centre.lat + 600, centre.lon},
                                  {centre.lat - 600, centre.lon - 800}};
    std::vector<TPoint> lake1, lake2;
    for (int i = 0; i <= n; i += 4) lake1.push_back(lake[i]);
    for (int i = 0; i <= n; i += 12) lake2.push_back(lake[i]);
    Polygon(0x3C, {lake2, lake, island, lake1}, {2, 0, 0, 1}, -1, "Lago " + Word(rnd, 2));
    out.Line("[END]");
    out.EndLine();
  }

  // Rivers run north across the map every few blocks, with a coarser copy on
  // level 1; power lines cross them at level 0 only.
  void Rivers() {
    for (int c = kCityBlock / 2; c + 1 < grid; c += 3 * kCityBlock) {
      std::vector<TPoint> river, coarse;
      for (int r = 0; r < grid; r++) {
        TPoint p = Node(r, c);
        for (int k = 0; k < 3; k++) {
          river.push_back({p.lat + kCellLat * k / 3, p.lon + kCellLon / 2 + rnd.Range(-2500, 2500)});
        }
      }
      for (size_t i = 0; i < river.size(); i += 6) coarse.push_back(river[i]);
      Comment("WayID", ++wayId);
      out.Line("[POLYLINE]");
      out.Key("Data0");
      out.Points(river);
      out.EndLine();
      out.Key("Data1");
      out.Points(coarse);
      out.EndLine();
      out.Line("EndLevel=3");
      out.Line("Type=0x1F");
      out.KeyText("Label", "Rio " + Word(rnd, 2));
      out.Line("[END]");
      out.EndLine();
      counts.polylines++;
    }
    for (int r = kPrimary / 2; r + 1 < grid; r += kPrimary) {
      std::vector<TPoint> line;
      for (int c = 0; c < grid; c += 3) {
        TPoint p = Node(r, c);
        line.push_back({p.lat + kCellLat / 3, p.lon});
      }
      Comment("WayID", ++wayId);
      out.Line("[POLYLINE]");
      out.Key("Data0");
      out.Points(line);
      out.EndLine();
      out.Line("EndLevel=2");
      out.Line("Type=0x29");
      out.Line("Label=");
      out.Line("[END]");
      out.EndLine();
      counts.polylines++;
    }
  }

  // ---- Streets -------------------------------------------------------------
  // A few local edges have no street, so the network is not a perfect grid.
  bool EdgeMissing(int line, int i, bool horizontal) const {
    if (line % kArterial == 0) return false;
    return Mix(seed * 3 + (static_cast<uint64_t>(line) << 33) + (static_cast<uint64_t>(i) << 1) + horizontal) % 100 < 4;
  }
  uint32_t& EdgeRoad(int line, int i, bool horizontal) {
    return horizontal ? hRoad[static_cast<size_t>(line) * grid + i] : vRoad[static_cast<size_t>(i) * grid + line];
  }
  TPoint NodeOnLine(int line, int i, bool horizontal) const { return horizontal ? Node(line, i) : Node(i, line); }
  uint32_t NodeIdOnLine(int line, int i, bool horizontal) const {
    return horizontal ? NodeId(line, i) : NodeId(i, line);
  }

  // Every street of one row (horizontal) or column, as segments between crossings.
  void StreetsAlong(int line, bool horizontal) {
    int i = 0;
    while (i + 1 < grid) {
      if (EdgeMissing(line, i, horizontal)) {
        i++;
        continue;
      }
      int want = line % kArterial == 0 ? kArterial : rnd.Range(1, 4);
      int j = i;
      while (j + 1 < grid && j - i < want && !EdgeMissing(line, j, horizontal)) j++;
      Street(line, i, j, horizontal);
      i = j;
    }
  }

  struct TRun {
    std::vector<TPoint> points;
    std::vector<std::pair<uint32_t, uint32_t>> nodes;  // point index, node id
  };

  // Points of the street from crossing i to crossing j, with shape points
  // between the crossings.
  TRun StreetRun(int line, int i, int j, bool horizontal, int shape) {
    TRun run;
    for (int k = i; k <= j; k++) {
      TPoint p = NodeOnLine(line, k, horizontal);
      run.nodes.push_back({static_cast<uint32_t>(run.points.size()), NodeIdOnLine(line, k, horizontal)});
      run.points.push_back(p);
      if (k == j) break;
      TPoint q = NodeOnLine(line, k + 1, horizontal);
      int n = rnd.Range(0, shape);
      for (int s = 1; s <= n; s++) {
        int64_t wobble = rnd.Range(-150, 150);
        run.points.push_back({p.lat + (q.lat - p.lat) * s / (n + 1) + (horizontal ? wobble : 0),
                              p.lon + (q.lon - p.lon) * s / (n + 1) + (horizontal ? 0 : wobble)});
      }
    }
    return run;
  }

  // A crossing of the outer ring, with --tile: routes enter and leave there.
  bool BoundNode(uint32_t id) const {
    if (!tile) return false;
    int r = static_cast<int>((id - 1) / static_cast<uint32_t>(grid)), c = static_cast<int>((id - 1) % static_cast<uint32_t>(grid));
    return r == 0 || c == 0 || r == grid - 1 || c == grid - 1;
  }
  // With --areas, one zone between arterials in five holds area roads.
  bool AreaZone(int r, int c) const {
    return areas && Mix(seed * 5 + (static_cast<uint64_t>(r / kArterial) << 32) + static_cast<uint64_t>(c / kArterial)) % 5 == 0;
  }

  // "NodN=point index,node id,bound" per crossing of a single-part street.
  void RouteNodes(const TRun& run) {
    for (size_t n = 0; n < run.nodes.size(); n++) {
      out.NumberedKey("Nod", static_cast<int64_t>(n));
      out.Int(run.nodes[n].first);
      out.Char(',');
      out.Int(run.nodes[n].second);
      out.Raw(BoundNode(run.nodes[n].second) ? ",1" : ",0");
      out.EndLine();
    }
  }

  void Street(int line, int i, int j, bool horizontal) {
    bool primary = line % kPrimary == 0, arterial = line % kArterial == 0;
    bool footway = !arterial && rnd.Chance(0.06);
    bool oneWay = !arterial && !footway && rnd.Chance(0.15);
    bool multiPart = !arterial && j - i >= 2 && rnd.Chance(0.03) && !peer;
    uint32_t roadId = ++lastRoadId;
    std::string name = StreetName(line, horizontal);
    int split = multiPart ? i + (j - i) / 2 : j;
    std::vector<TRun> parts = {StreetRun(line, i, split, horizontal, arterial ? 3 : 2)};
    if (multiPart) parts.push_back(StreetRun(line, split, j, horizontal, 2));
    for (int k = i; k < j; k++) EdgeRoad(line, k, horizontal) = roadId;
    if (multiPart) {
      // The second part becomes a road of its own when written; its id is
      // not known here, so restrictions do not use its edges.
      for (int k = split; k < j; k++) EdgeRoad(line, k, horizontal) = 0;
    }

    Comment("WayID", ++wayId);
    out.Line("[POLYLINE]");
    for (const TRun& part : parts) {
      out.Key("Data0");
      out.Points(part.points);
      out.EndLine();
    }
    if (arterial) {  // the crossings only, for the coarser levels
      std::vector<TPoint> coarse;
      for (const auto& node : parts[0].nodes) coarse.push_back(parts[0].points[node.first]);
      out.Key("Data1");
      out.Points(coarse);
      out.EndLine();
    }
    out.KeyInt("RoadID", roadId);
    if (oneWay) out.Line("DirIndicator=1");
    int speed = primary ? 5 : arterial ? 3 : footway ? 0 : 1 + static_cast<int>(rnd.Below(2));
    int roadClass = primary ? 3 : arterial ? 2 : 0;
    bool toll = primary && rnd.Chance(0.1);
    std::string routeParams = std::to_string(speed) + "," + std::to_string(roadClass) + "," +
                              std::to_string(oneWay) + "," + std::to_string(toll) +
                              (footway ? ",1,1,1,1,1,0,0,1" : ",0,0,0,0,0,0,0,0");
    out.KeyText("RouteParams", routeParams);
    if (!arterial && AreaZone(horizontal ? line : i, horizontal ? i : line)) out.Line("RouteParamExt=1");
    out.KeyInt("EndLevel", primary ? 3 : arterial ? 2 : 1);
    const char* type = primary ? "0x02" : arterial ? "0x04" : footway ? "0x16" : oneWay ? "0x07" : "0x06";
    out.KeyText("Type", type);
    int city = CityOf(horizontal ? line : i, horizontal ? i : line);
    if (primary) {
      out.KeyText("Label", "~[0x05]B" + std::to_string(line / kPrimary + 1) + " " + name);
    } else {
      out.KeyText("Label", name);
    }
    out.KeyText("StreetDesc", name);
    out.KeyInt("CityIdx", city);
    if (arterial) {
      out.Line(primary ? "TrafficLanes=2,0,0,2,0,0" : "TrafficLanes=1,0,0,1,0,0");
      out.KeyInt("LegalSpeed", primary ? 80 : 50);
      if (rnd.Chance(0.3)) out.Line("TurnLanes=left|through|through;right");
      if (rnd.Chance(0.1)) out.Line("TurnLanesBackward=left;through|right");
      if (rnd.Chance(0.15) && parts[0].points.size() > 3) out.Line("HLevel0=(1,1),(2,1)");  // a bridge
    }
    if (rnd.Chance(0.01)) out.Line("Speed=30,50|30,50|40,60");
    if (multiPart) {
      for (size_t p = 0; p < parts.size(); p++) {
        out.NumberedKey("Nodes", static_cast<int64_t>(p));
        for (size_t n = 0; n < parts[p].nodes.size(); n++) {
          if (n) out.Char(',');
          out.Char('(');
          out.Int(parts[p].nodes[n].first);
          out.Char(',');
          out.Int(parts[p].nodes[n].second);
          out.Raw(BoundNode(parts[p].nodes[n].second) ? ",1)" : ",0)");
        }
        out.EndLine();
      }
    } else {
      RouteNodes(parts[0]);
    }
    if (!arterial && !footway && rnd.Chance(0.5)) {
      // House numbers from each crossing to the next: odd left, even right.
      int number = 1;
      for (size_t n = 0; n + 1 < parts[0].nodes.size(); n++, number += 20) {
        out.NumberedKey("Numbers", static_cast<int64_t>(n + 1));
        out.Int(parts[0].nodes[n].first);
        out.Raw(",O,");
        out.Int(number);
        out.Char(',');
        out.Int(number + 18);
        out.Raw(",E,");
        out.Int(number + 1);
        out.Char(',');
        out.Int(number + 19);
        out.EndLine();
      }
    }
    out.Line("[END]");
    out.EndLine();
    counts.polylines++;
    counts.roads++;
    if (!arterial && !multiPart && rnd.Chance(0.004)) {
      // The same street once more under another id and without a label: the
      // duplicate removal folds it into the first and points restrictions at
      // the survivor.
      Comment("WayID", ++wayId);
      out.Line("[POLYLINE]");
      out.Key("Data0");
      out.Points(parts[0].points);
      out.EndLine();
      out.KeyInt("RoadID", ++lastRoadId);
      if (oneWay) out.Line("DirIndicator=1");
      out.Raw("RouteParams=");
      out.Raw(routeParams);
      out.EndLine();
      if (AreaZone(horizontal ? line : i, horizontal ? i : line)) out.Line("RouteParamExt=1");
      out.KeyText("Type", type);
      out.KeyText("StreetDesc", name);
      out.KeyInt("CityIdx", city);
      RouteNodes(parts[0]);
      out.Line("[END]");
      out.EndLine();
      counts.polylines++;
      counts.roads++;
    }
  }

  // Where the street from crossing a to crossing b crosses the line lat (or
  // lon): a is always the southern (western) end, so that both tiles of a
  // border round the same way.
  static TPoint CrossLat(const TPoint& a, const TPoint& b, int64_t lat) {
    return {lat, a.lon + (b.lon - a.lon) * (lat - a.lat) / (b.lat - a.lat)};
  }
  static TPoint CrossLon(const TPoint& a, const TPoint& b, int64_t lon) {
    return {a.lat + (b.lat - a.lat) * (lon - a.lon) / (b.lon - a.lon), lon};
  }

  // With --country: a stub road from each outer crossing to the tile side,
  // ending at a bound node (ids after the crossings', one per side and line).
  void BorderStubs() {
    for (int i = 0; i < grid; i++) {
      BorderStub(i, true, 0, i, CrossLat(Node(-1, i), Node(0, i), SouthLat()), 0);
      BorderStub(i, true, grid - 1, i, CrossLat(Node(grid - 1, i), Node(grid, i), NorthLat()), 1);
      BorderStub(i, false, i, 0, CrossLon(Node(i, -1), Node(i, 0), WestLon()), 2);
      BorderStub(i, false, i, grid - 1, CrossLon(Node(i, grid - 1), Node(i, grid), EastLon()), 3);
    }
  }

  // line: the column (vertical) or row the stub continues; (r, c): its crossing.
  void BorderStub(int line, bool vertical, int r, int c, const TPoint& end, int side) {
    bool primary = line % kPrimary == 0, arterial = line % kArterial == 0;
    uint32_t borderId = static_cast<uint32_t>(grid) * static_cast<uint32_t>(grid) + 1 +
                        static_cast<uint32_t>(side * grid + line);
    Comment("WayID", ++wayId);
    out.Line("[POLYLINE]");
    out.Key("Data0");
    out.Points({Node(r, c), end});
    out.EndLine();
    out.KeyInt("RoadID", ++lastRoadId);
    out.Raw(primary ? "RouteParams=5,3" : arterial ? "RouteParams=3,2" : "RouteParams=2,0");
    out.Raw(",0,0,0,0,0,0,0,0,0,0");
    out.EndLine();
    out.KeyInt("EndLevel", primary ? 3 : arterial ? 2 : 1);
    out.KeyText("Type", primary ? "0x02" : arterial ? "0x04" : "0x06");
    out.KeyText("Label", StreetName(line, !vertical));
    out.KeyInt("CityIdx", CityOf(r, c));
    out.Raw("Nod0=0,");
    out.Int(NodeId(r, c));
    out.Raw(",0");
    out.EndLine();
    out.Raw("Nod1=1,");
    out.Int(borderId);
    out.Raw(",1");
    out.EndLine();
    out.Line("[END]");
    out.EndLine();
    counts.polylines++;
    counts.roads++;
    int last = place.size - 1;
    if ((side == 0 && place.row == 0) || (side == 1 && place.row == last) || (side == 2 && place.col == 0) ||
        (side == 3 && place.col == last)) {
      counts.outer++;
    }
  }

  // ---- Turn restrictions and lane connections ------------------------------
  struct TArm {
    int r, c;      // the neighbouring crossing
    uint32_t road;
  };
  // The streets leaving crossing (r, c) towards its four neighbours.
  std::vector<TArm> Arms(int r, int c) {
    std::vector<TArm> arms;
    if (c > 0 && EdgeRoad(r, c - 1, true)) arms.push_back({r, c - 1, EdgeRoad(r, c - 1, true)});
    if (c + 1 < grid && EdgeRoad(r, c, true)) arms.push_back({r, c + 1, EdgeRoad(r, c, true)});
    if (r > 0 && EdgeRoad(c, r - 1, false)) arms.push_back({r - 1, c, EdgeRoad(c, r - 1, false)});
    if (r + 1 < grid && EdgeRoad(c, r, false)) arms.push_back({r + 1, c, EdgeRoad(c, r, false)});
    return arms;
  }

  void Restrictions() {
    for (int r = 0; r < grid; r++) {
      for (int c = 0; c < grid; c++) {
        if (!rnd.Chance(0.2)) continue;
        std::vector<TArm> arms = Arms(r, c);
        if (arms.size() < 2) continue;
        const TArm& from = arms[rnd.Below(static_cast<uint32_t>(arms.size()))];
        const TArm* to = &arms[rnd.Below(static_cast<uint32_t>(arms.size()))];
        if (rnd.Chance(0.1)) to = &from;  // no U-turn
        std::vector<uint32_t> points = {NodeId(from.r, from.c), NodeId(r, c), NodeId(to->r, to->c)};
        std::vector<uint32_t> roads = {from.road, to->road};
        if (to != &from && rnd.Chance(0.05)) {
          // Over a chain: on through the next crossing, then turn again.
          std::vector<TArm> next = Arms(to->r, to->c);
          for (const TArm& arm : next) {
            if (arm.r == r && arm.c == c) continue;
            points.push_back(NodeId(arm.r, arm.c));
            roads.push_back(arm.road);
            break;
          }
        }
        Comment("RelID", ++relationId);
        out.Line("[Restrict]");
        out.Key("TraffPoints");
        for (size_t i = 0; i < points.size(); i++) {
          if (i) out.Char(',');
          out.Int(points[i]);
        }
        out.EndLine();
        out.Key("TraffRoads");
        for (size_t i = 0; i < roads.size(); i++) {
          if (i) out.Char(',');
          out.Int(roads[i]);
        }
        out.EndLine();
        out.Line("RestrParam=0,0,0,0,0,1,0,0");
        out.Line("[END-Restrict]");
        out.EndLine();
        counts.restrictions++;
      }
    }
  }

  void LaneConnections() {
    for (int r = 0; r < grid; r += kArterial) {
      for (int c = 0; c < grid; c += kArterial) {
        if (!rnd.Chance(0.5)) continue;
        std::vector<TArm> arms = Arms(r, c);
        if (arms.size() < 2) continue;
        const TArm& from = arms[0];
        const TArm& to = arms[1 + rnd.Below(static_cast<uint32_t>(arms.size() - 1))];
        out.Line("[Lane Connection]");
        out.Key("LanePoints");
        out.Int(NodeId(from.r, from.c));
        out.Char(',');
        out.Int(NodeId(r, c));
        out.Char(',');
        out.Int(NodeId(to.r, to.c));
        out.EndLine();
        out.Key("LaneRoads");
        out.Int(from.road);
        out.Char(',');
        out.Int(to.road);
        out.EndLine();
        out.Line(rnd.Chance(0.5) ? "LaneConnections=(1,1),(2,2)" : "LaneConnections=(1,1),(1,2),(2,3)");
        out.Line("[END-Lane Connection]");
        out.EndLine();
        counts.lanes++;
      }
    }
  }

  COutput& out;
  uint64_t seed;
  CRandom rnd;
  bool cp1252, peer, tile, areas, country;
  TTile place;
  uint64_t nodeSeed;  // fixes the crossings: the country's seed on a tile
  std::string name;
  int grid, rowOffset = 0, colOffset = 0;
  int cityCount, citiesPerRow, regionCount, regionsPerRow, countryCount;
  std::vector<uint32_t> hRoad, vRoad;  // road id of each street edge, 0 = none
  uint32_t lastRoadId = 0;
  uint64_t wayId = 0, nodeCommentId = 0, relationId = 0;
};

[[noreturn]] void Usage() {
  std::fputs("usage: mpgen --objects N [--seed S] [--cp1252] [--crlf] [--peer] [--tile] [--areas] [-o out.mp]\n"
             "       mpgen --country K --objects N [--seed S] [...] -o DIR   (K x K tiles of N objects)\n",
             stderr);
  std::exit(2);
}

uint64_t ParseCount(const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno || end == text || *end) Usage();
  return v;
}

}  // namespace

struct TOptions {
  uint64_t objects = 0, seed = 1, country = 0;
  bool cp1252 = false, crlf = false, peer = false, tile = false, areas = false;
};

// Writes one map; false after an error (reported).
bool WriteMap(const char* path, const TOptions& o, uint64_t seed, const TTile& place, TCounts& counts,
              uint64_t& bytes) {
  FILE* file = path ? std::fopen(path, "wb") : stdout;
  if (!file) {
    std::perror(path);
    return false;
  }
  {
    COutput out(file, o.cp1252, o.crlf);
    CGenerator generator(out, seed, o.objects, o.cp1252, o.peer, o.tile, o.areas, place);
    generator.Run();
    counts.Add(generator.counts);
    out.Flush();
    bytes += out.bytes;
  }
  if (path && std::fclose(file) != 0) {
    std::perror(path);
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  TOptions o;
  const char* outPath = nullptr;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--objects" && i + 1 < argc) {
      o.objects = ParseCount(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      o.seed = ParseCount(argv[++i]);
    } else if (arg == "--country" && i + 1 < argc) {
      o.country = ParseCount(argv[++i]);
      if (o.country < 1 || o.country > 64) Usage();
    } else if (arg == "-o" && i + 1 < argc) {
      outPath = argv[++i];
    } else if (arg == "--cp1252") {
      o.cp1252 = true;
    } else if (arg == "--crlf") {
      o.crlf = true;
    } else if (arg == "--peer") {
      o.peer = true;
    } else if (arg == "--tile") {
      o.tile = true;
    } else if (arg == "--areas") {
      o.areas = true;
    } else {
      Usage();
    }
  }
  if (!o.objects || (o.country && !outPath)) Usage();
  TCounts counts;
  uint64_t bytes = 0;
  if (!o.country) {
    if (!WriteMap(outPath, o, o.seed, {}, counts, bytes)) return 1;
  } else {
    std::error_code error;
    std::filesystem::create_directories(outPath, error);
    if (error) {
      std::fprintf(stderr, "%s: %s\n", outPath, error.message().c_str());
      return 1;
    }
    int k = static_cast<int>(o.country);
    for (int r = 0; r < k; r++) {
      for (int c = 0; c < k; c++) {
        char name[32];
        std::snprintf(name, sizeof name, "/tile-%02d-%02d.mp", r, c);
        // Each tile its own content; the crossings follow the country's seed.
        uint64_t tileSeed = o.seed * 4096 + static_cast<uint64_t>(r * k + c) + 1;
        if (!WriteMap((std::string(outPath) + name).c_str(), o, tileSeed, {r, c, k, o.seed}, counts, bytes)) {
          return 1;
        }
      }
    }
  }
  std::string country;
  if (o.country) country = " tiles=" + std::to_string(o.country * o.country) + " outer=" + std::to_string(counts.outer);
  std::fprintf(stderr,
               "objects=%" PRIu64 " pois=%" PRIu64 " polylines=%" PRIu64 " roads=%" PRIu64 " polygons=%" PRIu64
               " restrictions=%" PRIu64 " lanes=%" PRIu64 " bytes=%" PRIu64 "%s\n",
               counts.Objects(), counts.pois, counts.polylines, counts.roads, counts.polygons, counts.restrictions,
               counts.lanes, bytes, country.c_str());
  return 0;
}
