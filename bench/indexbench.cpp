// Time of the address and word indexes against the number of addressed
// objects: builds synthetic maps in memory (cities of one region, streets,
// house numbers, labels) and times building, laying out, filling and
// writing both indexes. The growth factor between sizes should stay near
// the size factor (linear).
//
//   build/x64/bench/indexbench [objects...]      default 10000 100000 1000000
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mapfile/address.h"
#include "mapfile/words.h"
#include "mapfile/writer.h"

using namespace PolskiFormat;
using namespace ZorvaneMap;

namespace {

void Fill(CMap& map, size_t objects) {
  map.Header = new CHeaderSection();
  map.Utf8Labels = 1;
  for (size_t i = 0; i < objects; i++) {
    CPOI* poi = new CPOI();
    poi->Type = 0x2a00;
    poi->Label = "Shop " + std::to_string(i % 5000) + " Corner-" + std::to_string(i % 37);
    poi->CountryName = "Land";
    poi->RegionName = "Region " + std::to_string(i % 7);
    poi->CityName = "City " + std::to_string(i % 997);
    poi->StreetDesc = "Street " + std::to_string(i % 4001);
    poi->HouseNumber = std::to_string(i % 211) + (i % 3 ? "" : "a");
    poi->Points.PushBack(TPOIPoint{0, 13.0 + (i % 1000) * 1e-4, 45.0 + (i / 1000 % 1000) * 1e-4});
    map.POIs.PushBack(poi);
  }
}

// Processor time, not wall time: the machine may be shared.
double Seconds(std::clock_t since) { return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC; }

double Run(size_t objects) {
  CMap map;
  Fill(map, objects);
  CMapWriter writer;
  writer.map = &map;
  writer.text.table = nullptr;  // UTF-8
  CMemStream image;
  std::clock_t start = std::clock();
  uint32_t end = writer.address.Build(writer, map, 4, nullptr);
  // What the record writers add per object: its street, house number and words.
  uint32_t offset = end;
  for (size_t i = 0; i < map.POIs.Size(); i++, offset += 64) {
    const CPOI& poi = *map.POI(i);
    TObjectAddress a = writer.address.Lookup(writer, poi);
    if (THouseNumberEntry* h = writer.address.FindOrAddHouseNumber(writer, poi.HouseNumber, *a.street)) {
      if (h->refs.refs.Empty()) h->AddRef(offset);
    }
    writer.words.AddWords(writer.text.Decode(poi.Label), offset, 0);
  }
  writer.address.Write(image);
  image.Seek(image.Size());
  writer.words.Write(image);
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  size_t sizes[16] = {10000, 100000, 1000000};
  int count = 3;
  if (argc > 1) {
    count = 0;
    for (int i = 1; i < argc && count < 16; i++) sizes[count++] = std::strtoul(argv[i], nullptr, 10);
  }
  std::printf("| addressed objects | index CPU time (s) | per object (us) | growth |\n|---|---|---|---|\n");
  double previous = 0;
  for (int i = 0; i < count; i++) {
    double t = Run(sizes[i]);
    char growth[32] = "";
    if (i > 0) std::snprintf(growth, sizeof growth, "%.1fx for %.0fx", t / previous,
                             static_cast<double>(sizes[i]) / sizes[i - 1]);
    std::printf("| %zu | %.3f | %.2f | %s |\n", sizes[i], t, t * 1e6 / sizes[i], growth);
    previous = t;
  }
  return 0;
}
