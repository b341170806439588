#include "mapfile/writer.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "core/crash.h"
#include "core/dirutil.h"
#include "core/log.h"
#include "mapfile/tiles.h"

using namespace ZorvaneMap;

namespace {

// The directory entry of a section opens at the image position and closes
// at the position after the section.
void BeginSection(CMapWriter& writer, TMapSectionId id, CMemStream& image) {
  writer.directory[id - 1] = {static_cast<uint32_t>(image.GetPos()), 0, id};
}
void EndSection(CMapWriter& writer, TMapSectionId id, CMemStream& image) {
  TMapSectionEntry& e = writer.directory[id - 1];
  e.size = static_cast<uint32_t>(image.GetPos() - e.offset);
}

bool Stopped(const bool* stop) { return stop && *stop; }

// The routing part keeps its road graph and lists for one write only,
// however the write ends.
struct TRoutingRelease {
  CMapRouting* routing;
  ~TRoutingRelease() {
    if (routing) routing->Free();
  }
};

// The level table every part of the file uses; a map needs 2 to 255 levels
// (the count is a byte, and the top level gets no tree).
void ChooseLevels(CMapWriter& writer, const PolskiFormat::CMap& map, const CMapWriteConfig& config) {
  static const CReallocArray<uint8_t> kNone;
  const CReallocArray<uint8_t>& levels =
      config.layers.InUse() ? config.layers.levels : (map.Header ? map.Header->Levels : kNone);
  if (levels.Size() < 2 || levels.Size() > 255) {
    throw FormatLimitText("Wrong number of levels (%u): a map needs 2 to 255", static_cast<unsigned>(levels.Size()));
  }
  writer.levels.Assign(levels.data, levels.Size());
}

// Builds every section into the image and saves it; false when stopped or
// too big. Format limits and stream errors are thrown.
bool WriteImage(CMapWriter& writer, PolskiFormat::CMap& map, CFileWriteStream& file, const CMapWriteConfig& config,
                bool compress, const bool* stop) {
  writer.Free();
  writer.map = &map;
  writer.text.table = map.TextTable();
  writer.layers = config.layers.InUse() ? &config.layers : nullptr;
  writer.tags = &config.tags;
  writer.onlyLegalSpeed = config.onlyLegalSpeed;
  ChooseLevels(writer, map, config);
  PolskiFormat::SplitMultiLevelPolylines(map);
  // A map whose roads cannot be routed is given up; the builder said why.
  CMapRouting* routing = writer.routing;
  TRoutingRelease release{routing};
  if (routing && !routing->BuildRoadGraph(map)) return false;

  CMemStream image;
  image.Seek(kMapImageStart);
  BeginSection(writer, SectionMapInfo, image);
  WriteMapInfoSection(writer, map, image, config);
  EndSection(writer, SectionMapInfo, image);

  AlignTo4(image);
  BeginSection(writer, SectionChGraphs, image);
  if (routing && !routing->WriteChGraphs(image, stop)) return false;
  EndSection(writer, SectionChGraphs, image);
  if (Stopped(stop)) return false;
  BeginSection(writer, SectionExternalNodes, image);
  if (routing) routing->WriteExternalNodeTree(image);
  EndSection(writer, SectionExternalNodes, image);

  // The address index is laid out now, so that records refer to final
  // offsets; its room is written once the records filled the references.
  const uint32_t addressStart = static_cast<uint32_t>(image.GetPos());
  const uint32_t addressEnd = writer.address.Build(writer, map, addressStart, stop);
  if (addressEnd == 0 || Stopped(stop)) return false;
  writer.directory[SectionAddressIndex - 1] = {addressStart, addressEnd - addressStart, SectionAddressIndex};
  image.Seek(addressEnd);

  if (!WriteMapTiles(writer, map, image, stop) || Stopped(stop)) return false;
  if (routing) routing->PatchTileGraphRefs(image);
  const uint64_t end = image.GetPos();
  writer.address.Write(image);
  image.Seek(end);
  g_Log.Print("Cities with address info: %d", writer.address.CitiesWithAddressInfo());

  AlignTo4(image);
  BeginSection(writer, SectionGraphNodes, image);
  if (routing) routing->WriteGraphNodeTable(image);
  EndSection(writer, SectionGraphNodes, image);
  AlignTo4(image);
  BeginSection(writer, SectionWordIndex, image);
  writer.words.Write(image);
  EndSection(writer, SectionWordIndex, image);
  AlignTo4(image);
  BeginSection(writer, SectionTags, image);
  WriteTagsTable(config.tags, image);
  EndSection(writer, SectionTags, image);
  if (Stopped(stop)) return false;

  if (image.Size() > kMaxMapImage) {
    g_Log.PrintText("Too big out file");
    return false;
  }
  SaveCompressedMapFile(image, writer.directory, file, compress);
  return true;
}

// Removes what a failed write left; only a regular file (never a device
// the output path happens to name).
void RemovePartialFile(const std::string& path) {
  if (Platform::IsRegularFile(path.c_str())) Platform::DeleteFile(path.c_str());
}

}  // namespace

std::string FormatLimitText(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void CMapWriter::Free() {
  levels.Free();
  address.Clear();
  words.Clear();
  polylineRecords.Free();
  pointBuffer.Free();
  hoursBuffer.Clear();
  labelScratch.Free();
  map = nullptr;
}

uint8_t CMapWriter::LevelBits(int32_t level) const {
  if (levels.Empty()) return 0;
  int32_t top = static_cast<int32_t>(levels.Size()) - 1;
  return levels[static_cast<size_t>(level < 0 ? 0 : (level > top ? top : level))];
}

uint8_t CMapWriter::LowerLevelCode(int32_t from) const {
  if (from <= 0) return 255;
  unsigned code = LevelBits(from - 1) + 1u;
  return static_cast<uint8_t>(code > 255 ? 255 : code);
}

void WriteMapInfoSection(CMapWriter& writer, const PolskiFormat::CMap& map, CMemStream& image,
                         const CMapWriteConfig& config) {
  static const std::string kEmpty;
  const PolskiFormat::CHeaderSection* header = map.Header;
  writer.text.WriteTitleString(image, header ? header->Name : kEmpty);
  writer.text.WriteTitleString(image, header ? header->Copyright : kEmpty);
  writer.text.WriteTitleString(image, header ? header->Revision : kEmpty);
  image.WriteU8(static_cast<uint8_t>(writer.levels.Size()));
  image.Write(writer.levels.data, writer.levels.Size());
  AlignTo2(image);
  const CWideString& url = writer.text.DecodeUtf8(config.url);
  WriteTextUnits(image, url.GetText(), url.Length());
}

bool WriteMapFile(CMapWriter& writer, PolskiFormat::CMap& map, const std::string& outputPath,
                  const CMapWriteConfig& config, bool compress, const bool* stop) {
  CreatePathDirectories(outputPath);
  CFileWriteStream file(0x100000);
  if (!file.Open(outputPath.c_str(), false)) {
    g_Log.PrintText("Error creating out file");
    return false;
  }
  CPartialOutputFile partial(outputPath.c_str());  // a crash removes the file too
  bool written = false;
  try {
    written = WriteImage(writer, map, file, config, compress, stop);
  } catch (const std::string& text) {
    g_Log.PrintText(text.c_str());
  } catch (const char* text) {
    g_Log.PrintText(text);
  } catch (const std::bad_alloc&) {
    g_Log.PrintText("Out of memory");
  } catch (const TStreamException&) {
    g_Log.PrintText("Error writing out file");
  } catch (...) {
    file.Close();
    RemovePartialFile(outputPath);
    throw;
  }
  // The close flushes the last buffered bytes: a full disk shows here.
  if (!file.Close() && written) {
    g_Log.PrintText("Error writing out file");
    written = false;
  }
  if (!written) RemovePartialFile(outputPath);
  return written;
}
