// The PNG decoder against the PNG test suite, libpng and zlib (where the
// build has them), and against hand-made files for every error it reports.
#include "raster/pngdecoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "raster/pngtestutil.h"
#ifdef ORLUMO_PNG_ORACLE
#include "raster/pngoracle.h"
#endif

namespace {

using PngTest::CBitWriter;
using PngTest::TBytes;
using PngTest::THeader;

const std::string kSuite = std::string(ORLUMO_SHARED_DIR) + "/testdata/pngsuite/";
const std::string kExtra = std::string(ORLUMO_SHARED_DIR) + "/testdata/png-extra/";

#define SKIP_WITHOUT_TEST_IMAGES() \
  if (!std::filesystem::exists(kSuite)) GTEST_SKIP() << "no PNG test images at " << kSuite

struct TDecoded {
  int32_t error;
  uint32_t width, height;
  TBytes rgba;
};

TDecoded Decode(const TBytes& file) {
  TPngInfo info;
  CReallocArray<uint8_t> pixels;
  DecodePngImage(info, pixels, file.data(), file.size());
  return {info.error, info.width, info.height, TBytes(pixels.begin(), pixels.end())};
}

std::vector<std::string> PngFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- The test images --------------------------------------------------------

TEST(PngDecoder, SuiteDecodesWithExpectedSizes) {
  SKIP_WITHOUT_TEST_IMAGES();
  std::vector<std::string> names = PngFiles(kSuite);
  ASSERT_GE(names.size(), 35u);
  for (const std::string& name : names) {
    TBytes file = PngTest::ReadFileBytes(kSuite + name);
    TDecoded d = Decode(file);
    ASSERT_EQ(d.error, 0) << name;
    EXPECT_EQ(d.rgba.size(), size_t{d.width} * d.height * 4) << name;
  }
}

#ifdef ORLUMO_PNG_ORACLE
TEST(PngDecoder, PixelsEqualTheOracle) {
  SKIP_WITHOUT_TEST_IMAGES();
  for (const std::string& dir : {kSuite, kExtra}) {
    for (const std::string& name : PngFiles(dir)) {
      TBytes file = PngTest::ReadFileBytes(dir + name);
      TDecoded d = Decode(file);
      if (d.error) continue;  // the damaged files are checked below
      PngOracle::TImage o = PngOracle::Decode(file);
      ASSERT_TRUE(o.ok) << name;
      EXPECT_EQ(d.width, o.width) << name;
      EXPECT_EQ(d.height, o.height) << name;
      EXPECT_TRUE(d.rgba == o.rgba) << name;
    }
  }
}

// Every suite image written again by libpng: interlaced, with each filter
// type alone, and through every zlib level and strategy.
TEST(PngDecoder, ReencodedImagesDecodeToTheSamePixels) {
  SKIP_WITHOUT_TEST_IMAGES();
  std::vector<PngOracle::TEncoding> encodings;
  encodings.push_back({PNG_INTERLACE_ADAM7, Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, PNG_ALL_FILTERS});
  for (int f : {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH}) {
    encodings.push_back({PNG_INTERLACE_ADAM7, 6, Z_DEFAULT_STRATEGY, f});
    encodings.push_back({PNG_INTERLACE_NONE, 6, Z_DEFAULT_STRATEGY, f});
  }
  for (int level = 0; level <= 9; level++) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      encodings.push_back({PNG_INTERLACE_NONE, level, strategy, PNG_ALL_FILTERS});
    }
  }
  for (const std::string& name : PngFiles(kSuite)) {
    TBytes file = PngTest::ReadFileBytes(kSuite + name);
    TDecoded original = Decode(file);
    ASSERT_EQ(original.error, 0) << name;
    for (const PngOracle::TEncoding& e : encodings) {
      TBytes again = PngOracle::Reencode(file, e);
      ASSERT_FALSE(again.empty()) << name;
      TDecoded d = Decode(again);
      ASSERT_EQ(d.error, 0) << name << " level " << e.level << " strategy " << e.strategy;
      EXPECT_TRUE(d.rgba == original.rgba)
          << name << " interlace " << e.interlace << " level " << e.level << " strategy " << e.strategy
          << " filters " << e.filters;
    }
  }
}

TEST(PngDecoder, ZlibRoundTripsAtEveryLevelAndStrategy) {
  // Text-like runs, long repeats and noise, across several stored-block sizes.
  TBytes raw;
  uint32_t seed = 12345;
  for (int i = 0; i < 300000; i++) {
    seed = seed * 1103515245 + 12345;
    if (i % 7000 < 3000) raw.push_back(static_cast<uint8_t>("the quick brown fox "[i % 20]));
    else if (i % 7000 < 4000) raw.push_back(0);
    else raw.push_back(static_cast<uint8_t>(seed >> 16));
  }
  for (int level = 0; level <= 9; level++) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      TBytes z = PngOracle::Compress(raw, level, strategy);
      CReallocArray<uint8_t> out;
      ASSERT_EQ(ZlibUnwrap(out, z.data(), z.size(), raw.size()), 0) << level << " " << strategy;
      EXPECT_TRUE(TBytes(out.begin(), out.end()) == raw) << level << " " << strategy;
      // Asked for fewer bytes, it stops there.
      ASSERT_EQ(ZlibUnwrap(out, z.data(), z.size(), 1000), 0);
      EXPECT_EQ(out.Size(), 1000u);
      EXPECT_TRUE(std::equal(out.begin(), out.end(), raw.begin()));
    }
  }
}
#else
TEST(PngDecoder, PixelsEqualTheOracle) { GTEST_SKIP() << "this build has no libpng and zlib to compare with"; }
#endif

TEST(PngDecoder, DamagedFilesGiveTheirResults) {
  SKIP_WITHOUT_TEST_IMAGES();
  struct {
    const char* name;
    int32_t error;
  } cases[] = {
      {"invalid-crc32.png", PngOk},          // CRCs are not checked
      {"invalid-zlib.png", PngOk},           // nor the Adler-32 sum
      {"invalid-trunc.png", PngOk},          // IEND's CRC is cut short: never read
      {"invalid-noend.png", PngNoIend},
      {"invalid-palette.png", PngPaletteIndex8},
  };
  TDecoded reference = Decode(PngTest::ReadFileBytes(kExtra + "invalid-crc32.png"));
  for (const auto& c : cases) {
    TDecoded d = Decode(PngTest::ReadFileBytes(kExtra + c.name));
    EXPECT_EQ(d.error, c.error) << c.name;
    EXPECT_TRUE(d.error ? d.rgba.empty() : d.rgba == reference.rgba) << c.name;
  }
}

TEST(PngDecoder, InterlacedTwinsDecodeEqual) {
  SKIP_WITHOUT_TEST_IMAGES();
  const char* pairs[][2] = {{"benchRGB.png", "benchRGB-interlace.png"},
                            {"gray-gradient.png", "gray-gradient.interlaced.png"}};
  for (const auto& p : pairs) {
    TDecoded a = Decode(PngTest::ReadFileBytes(kExtra + p[0]));
    TDecoded b = Decode(PngTest::ReadFileBytes(kExtra + p[1]));
    ASSERT_EQ(a.error, 0) << p[0];
    ASSERT_EQ(b.error, 0) << p[1];
    EXPECT_TRUE(a.rgba == b.rgba) << p[0];
  }
}

// ---- Hand-made images -------------------------------------------------------

// Samples of one image, packed per row as the PNG format packs them.
struct TRawImage {
  uint32_t width, height;
  unsigned bitsPerPixel;
  std::vector<uint32_t> samples;  // one value per pixel and channel, row-major

  unsigned channels = 1;
  unsigned depth = 8;

  TBytes PackRow(uint32_t y, uint32_t x0, uint32_t step) const {
    TBytes row;
    unsigned used = 0;
    auto put = [&](uint32_t v, unsigned bits) {
      for (unsigned i = bits; i-- > 0;) {
        if (used % 8 == 0) row.push_back(0);
        row.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - used % 8));
        used++;
      }
    };
    for (uint32_t x = x0; x < width; x += step) {
      for (unsigned c = 0; c < channels; c++) put(samples[(size_t{y} * width + x) * channels + c], depth);
    }
    return row;
  }
  // Scanlines with filter 0, plain or in Adam7 passes (empty passes have none).
  TBytes Scanlines(bool interlaced) const {
    static const uint32_t passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                          {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    static const uint32_t whole[1][4] = {{0, 0, 1, 1}};
    TBytes out;
    for (const auto& p : interlaced ? std::vector<const uint32_t*>(std::begin(passes), std::end(passes))
                                    : std::vector<const uint32_t*>{whole[0]}) {
      if (p[0] >= width) continue;
      for (uint32_t y = p[1]; y < height; y += p[3]) {
        out.push_back(0);
        TBytes row = PackRow(y, p[0], p[2]);
        out.insert(out.end(), row.begin(), row.end());
      }
    }
    return out;
  }
};

TRawImage Gradient(uint32_t w, uint32_t h, unsigned channels, unsigned depth) {
  TRawImage img{w, h, channels * depth, {}, channels, depth};
  uint32_t seed = w * 131 + h * 7 + depth;
  for (size_t i = 0; i < size_t{w} * h * channels; i++) {
    seed = seed * 1664525 + 1013904223;
    img.samples.push_back((seed >> 8) & ((1u << depth) - 1));
  }
  return img;
}

// Small images in every size from 1x1 to 9x9 (and 1x16) decode the same
// interlaced as plain, including the passes that have no pixels.
TEST(PngDecoder, SmallInterlacedImagesMatchPlainOnes) {
  struct {
    uint8_t colour;
    unsigned channels, depth;
  } kinds[] = {{0, 1, 1}, {0, 1, 2}, {0, 1, 4}, {0, 1, 8}, {0, 1, 16}, {2, 3, 8}, {2, 3, 16}, {4, 2, 8}, {6, 4, 16}};
  std::vector<std::pair<uint32_t, uint32_t>> sizes = {{1, 16}, {16, 1}};
  for (uint32_t w = 1; w <= 9; w++) {
    for (uint32_t h = 1; h <= 9; h++) sizes.push_back({w, h});
  }
  for (const auto& k : kinds) {
    for (auto [w, h] : sizes) {
      TRawImage img = Gradient(w, h, k.channels, k.depth);
      THeader header{w, h, static_cast<uint8_t>(k.depth), k.colour};
      TDecoded plain = Decode(PngTest::MakePng(header, PngTest::StoredZlib(img.Scanlines(false))));
      header.interlace = 1;
      TDecoded interlaced = Decode(PngTest::MakePng(header, PngTest::StoredZlib(img.Scanlines(true))));
      ASSERT_EQ(plain.error, 0) << w << "x" << h << " depth " << k.depth;
      ASSERT_EQ(interlaced.error, 0) << w << "x" << h << " depth " << k.depth;
      EXPECT_TRUE(plain.rgba == interlaced.rgba) << w << "x" << h << " depth " << k.depth;
    }
  }
}

// The conversion rules, pixel by pixel.
TEST(PngDecoder, ConversionRules) {
  using TChunks = std::vector<std::pair<std::string, TBytes>>;
  struct {
    const char* what;
    THeader header;
    TBytes scanlines;
    TChunks chunks;
    TBytes rgba;
  } cases[] = {
      {"grey 1-bit scaled", {2, 1, 1, 0}, {0, 0x40}, {}, {0, 0, 0, 255, 255, 255, 255, 255}},
      {"grey 2-bit scaled", {2, 1, 2, 0}, {0, 0x60}, {}, {85, 85, 85, 255, 170, 170, 170, 255}},
      {"grey 4-bit with key", {2, 1, 4, 0}, {0, 0x3F}, {{"tRNS", {0, 3}}}, {51, 51, 51, 0, 255, 255, 255, 255}},
      {"grey 8-bit with key", {2, 1, 8, 0}, {0, 7, 8}, {{"tRNS", {0, 7}}}, {7, 7, 7, 0, 8, 8, 8, 255}},
      {"grey 16-bit: high byte, key on 16 bits",
       {2, 1, 16, 0},
       {0, 0x12, 0x34, 0x12, 0x35},
       {{"tRNS", {0x12, 0x34}}},
       {0x12, 0x12, 0x12, 0, 0x12, 0x12, 0x12, 255}},
      {"rgb 8-bit with key",
       {2, 1, 8, 2},
       {0, 1, 2, 3, 1, 2, 4},
       {{"tRNS", {0, 1, 0, 2, 0, 3}}},
       {1, 2, 3, 0, 1, 2, 4, 255}},
      {"rgb 16-bit",
       {1, 1, 16, 2},
       {0, 0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2},
       {{"tRNS", {0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2}}},
       {0xA1, 0xB1, 0xC1, 0}},
      {"palette with alpha",
       {3, 1, 2, 3},
       {0, 0x10},
       {{"PLTE", {10, 11, 12, 20, 21, 22}}, {"tRNS", {128}}},
       {10, 11, 12, 128, 20, 21, 22, 255, 10, 11, 12, 128}},
      {"grey alpha 16-bit", {1, 1, 16, 4}, {0, 0x55, 1, 0x66, 2}, {}, {0x55, 0x55, 0x55, 0x66}},
      {"rgba 16-bit", {1, 1, 16, 6}, {0, 1, 0, 2, 0, 3, 0, 4, 0}, {}, {1, 2, 3, 4}},
      {"rgba 8-bit as is", {1, 1, 8, 6}, {0, 9, 8, 7, 6}, {}, {9, 8, 7, 6}},
      {"an ancillary chunk is skipped", {1, 1, 8, 0}, {0, 5}, {{"teXt", {1, 2, 3}}}, {5, 5, 5, 255}},
  };
  for (const auto& c : cases) {
    TDecoded d = Decode(PngTest::MakePng(c.header, PngTest::StoredZlib(c.scanlines), c.chunks));
    ASSERT_EQ(d.error, 0) << c.what;
    EXPECT_TRUE(d.rgba == c.rgba) << c.what;
  }
}

TEST(PngDecoder, ScanlineFilters) {
  // 3 pixels of RGB 8-bit over two lines, each line with one filter type.
  const TBytes first = {10, 20, 30, 40, 50, 60, 70, 80, 90};
  const TBytes second = {15, 25, 35, 5, 250, 65, 200, 100, 95};
  auto paeth = [](int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
  };
  for (uint8_t type = 0; type <= 4; type++) {
    TBytes lines = {0};
    lines.insert(lines.end(), first.begin(), first.end());
    lines.push_back(type);
    for (size_t i = 0; i < second.size(); i++) {
      int left = i >= 3 ? second[i - 3] : 0, up = first[i], upLeft = i >= 3 ? first[i - 3] : 0;
      int predicted = type == 1 ? left : type == 2 ? up : type == 3 ? (left + up) / 2 : type == 4 ? paeth(left, up, upLeft) : 0;
      lines.push_back(static_cast<uint8_t>(second[i] - predicted));
    }
    TDecoded d = Decode(PngTest::MakePng({3, 2, 8, 2}, PngTest::StoredZlib(lines)));
    ASSERT_EQ(d.error, 0) << int(type);
    for (size_t p = 0; p < 3; p++) {
      for (size_t c = 0; c < 3; c++) {
        EXPECT_EQ(d.rgba[12 + p * 4 + c], second[p * 3 + c]) << int(type);
      }
    }
  }
  // The first line reads its missing line above as zeros.
  TDecoded d = Decode(PngTest::MakePng({2, 1, 8, 0}, PngTest::StoredZlib({4, 100, 7})));
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.rgba[0], 100);
  EXPECT_EQ(d.rgba[4], 107);
}

TEST(PngDecoder, DataBeyondTheImageIsIgnored) {
  TBytes lines = {0, 5, 0, 6};
  TBytes more = lines;
  more.resize(100000, 0xEE);
  TDecoded d = Decode(PngTest::MakePng({1, 2, 8, 0}, PngTest::StoredZlib(more)));
  ASSERT_EQ(d.error, 0);
  EXPECT_TRUE(d.rgba == TBytes({5, 5, 5, 255, 6, 6, 6, 255}));
}

// ---- Every error from a small file -----------------------------------------

TBytes OnePixelPng(const TBytes& zlibData, THeader h = {1, 1, 8, 0}) { return PngTest::MakePng(h, zlibData); }
const TBytes kOnePixel = {0, 0x80};

// The three bits that open a block.
CBitWriter Block(unsigned final, unsigned type) {
  CBitWriter w;
  w.Bits(final, 1);
  w.Bits(type, 2);
  return w;
}

// A stored block's header after the padding to the byte boundary.
CBitWriter Stored(unsigned final, uint32_t len, uint32_t nlen) {
  CBitWriter w = Block(final, 0);
  w.Bits(0, 5);
  w.Bits(len, 16);
  w.Bits(nlen, 16);
  return w;
}

// A dynamic block header whose code-length code gives symbols 0, 16, 17
// and 18 two bits each (codes 00, 01, 10, 11).
CBitWriter DynamicHeader(unsigned hclenCount = 4) {
  CBitWriter w = Block(1, 2);
  w.Bits(0, 5);  // 257 literal/length codes
  w.Bits(0, 5);  // 1 distance code
  w.Bits(hclenCount - 4, 4);
  for (unsigned i = 0; i < hclenCount; i++) w.Bits(i < 4 ? 2 : 0, 3);
  return w;
}
void Repeat16(CBitWriter& w, unsigned times) { w.Code(1, 2), w.Bits(times - 3, 2); }
void Zeros17(CBitWriter& w, unsigned n) { w.Code(2, 2), w.Bits(n - 3, 3); }
void Zeros18(CBitWriter& w, unsigned n) { w.Code(3, 2), w.Bits(n - 11, 7); }

TEST(PngDecoder, EveryErrorCode) {
  struct TCase {
    const char* what;
    TBytes file;
    int32_t error;
  };
  std::vector<TCase> cases;
  auto add = [&](const char* what, TBytes file, int32_t error) { cases.push_back({what, std::move(file), error}); };
  auto addDeflate = [&](const char* what, const CBitWriter& w, int32_t error) {
    add(what, OnePixelPng(w.Zlib()), error);
  };
  const TBytes good = OnePixelPng(PngTest::StoredZlib(kOnePixel));

  // File and chunk level.
  add("no input", {}, PngNoInput);
  add("28 bytes", TBytes(good.begin(), good.begin() + 28), PngFileTooShort);
  {
    TBytes f = good;
    f[1] = 'Q';
    add("signature", f, PngBadSignature);
  }
  {
    TBytes f = good;
    f[12] = 'i';
    add("first chunk not IHDR", f, PngNoIhdr);
  }
  add("colour type 5", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 8, 5}), PngBadColourType);
  add("compression method", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 8, 0, 1}), PngBadCompressionMethod);
  add("filter method", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 8, 0, 0, 1}), PngBadFilterMethod);
  add("interlace method", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 8, 0, 0, 0, 2}), PngBadInterlaceMethod);
  add("depth 16 palette", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 16, 3}), PngBadBitDepth);
  add("depth 4 rgb", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 4, 2}), PngBadBitDepth);
  add("depth 3 grey", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 1, 3, 0}), PngBadBitDepth);
  add("width 0", OnePixelPng(PngTest::StoredZlib(kOnePixel), {0, 1, 8, 0}), PngEmptyImage);
  add("height 0", OnePixelPng(PngTest::StoredZlib(kOnePixel), {1, 0, 8, 0}), PngEmptyImage);
  add("2^31-1 square", OnePixelPng(PngTest::StoredZlib(kOnePixel), {0x7FFFFFFF, 0x7FFFFFFF, 8, 0}), PngImageTooLarge);
  add("8193 x 4096", OnePixelPng(PngTest::StoredZlib(kOnePixel), {8193, 4096, 8, 0}), PngImageTooLarge);
  {
    TBytes f = good;
    f.resize(f.size() - 12);  // IEND gone
    add("no IEND", f, PngNoIend);
  }
  {
    TBytes f = PngTest::PngStart({1, 1, 8, 0});
    PngTest::PutBigEndian32(f, 0x80000000u);
    f.insert(f.end(), {'t', 'E', 'X', 't', 0, 0, 0, 0});
    add("chunk length 2^31", f, PngChunkLengthTooLarge);
  }
  {
    TBytes f = PngTest::PngStart({1, 1, 8, 0});
    PngTest::PutBigEndian32(f, 100);
    f.insert(f.end(), {'t', 'E', 'X', 't', 0, 0, 0, 0});
    add("chunk past the end", f, PngChunkPastEnd);
  }
  add("unknown critical chunk", PngTest::MakePng({1, 1, 8, 0}, PngTest::StoredZlib(kOnePixel), {{"CRIT", {}}}),
      PngUnknownCriticalChunk);
  add("filter type 5", OnePixelPng(PngTest::StoredZlib({5, 0x80})), PngBadFilterType);
  add("257 palette entries", PngTest::MakePng({1, 1, 8, 3}, PngTest::StoredZlib(kOnePixel), {{"PLTE", TBytes(771)}}),
      PngPaletteTooLarge);
  add("tRNS longer than the palette",
      PngTest::MakePng({1, 1, 8, 3}, PngTest::StoredZlib(kOnePixel), {{"PLTE", TBytes(6)}, {"tRNS", {1, 2, 3}}}),
      PngTrnsTooLong);
  add("grey tRNS of 3 bytes", PngTest::MakePng({1, 1, 8, 0}, PngTest::StoredZlib(kOnePixel), {{"tRNS", {0, 0, 0}}}),
      PngTrnsGreySize);
  add("rgb tRNS of 2 bytes", PngTest::MakePng({1, 1, 8, 2}, PngTest::StoredZlib({0, 1, 2, 3}), {{"tRNS", {0, 0}}}),
      PngTrnsRgbSize);
  add("tRNS with alpha", PngTest::MakePng({1, 1, 8, 6}, PngTest::StoredZlib({0, 1, 2, 3, 4}), {{"tRNS", {0, 0}}}),
      PngTrnsWithAlpha);
  add("8-bit index past the palette",
      PngTest::MakePng({1, 1, 8, 3}, PngTest::StoredZlib({0, 2}), {{"PLTE", TBytes(6)}}), PngPaletteIndex8);
  add("4-bit index past the palette",
      PngTest::MakePng({1, 1, 4, 3}, PngTest::StoredZlib({0, 0x20}), {{"PLTE", TBytes(6)}}), PngPaletteIndexPacked);
  add("palette image without palette", PngTest::MakePng({1, 1, 1, 3}, PngTest::StoredZlib({0, 0})),
      PngPaletteIndexPacked);
  add("scanlines short", OnePixelPng(PngTest::StoredZlib({0})), PngImageDataShort);
  add("interlaced scanlines short", OnePixelPng(PngTest::StoredZlib({0}), {1, 1, 8, 0, 0, 0, 1}), PngImageDataShort);

  // zlib wrapper.
  add("no IDAT", OnePixelPng({}), PngZlibTooShort);
  add("one zlib byte", OnePixelPng({0x78}), PngZlibTooShort);
  add("zlib check value", OnePixelPng({0x78, 0x02, 1, 0, 0, 0xFF, 0xFF}), PngZlibCheck);
  add("zlib method 7", OnePixelPng({0x77, 0x85}), PngZlibMethod);
  add("zlib window 8", OnePixelPng({0x88, 0x98}), PngZlibMethod);
  add("zlib dictionary", OnePixelPng({0x78, 0x20}), PngZlibDictionary);

  // Blocks.
  add("nothing after the zlib header", OnePixelPng({0x78, 0x01}), PngBlockPastInput);
  {
    CBitWriter w = Stored(0, 1, 0xFFFE);
    w.Bits(0, 8);
    addDeflate("no final block", w, PngBlockPastInput);
  }
  {
    CBitWriter w = Block(1, 0);
    w.Bits(0, 5);
    w.Bits(2, 16);  // NLEN missing
    addDeflate("stored header cut", w, PngBlockPastInput);
  }
  {
    CBitWriter w = Stored(1, 2, 0xFFFC);
    w.Bits(0, 16);
    addDeflate("stored LEN and NLEN", w, PngStoredLengthMismatch);
  }
  {
    CBitWriter w = Stored(1, 3, 0xFFFC);
    w.Bits(0, 16);
    addDeflate("stored block past the input", w, PngStoredPastInput);
  }
  {
    CBitWriter w = Block(1, 3);
    addDeflate("block type 3", w, PngBadBlockType);
  }
  {
    CBitWriter w = Block(1, 1);
    w.FixedLiteral(0);
    w.Code(0x3, 4);  // half of the next code, then the input ends
    addDeflate("input ends inside a symbol", w, PngHuffmanPastInput);
  }
  {
    CBitWriter w = Block(1, 1);
    w.FixedLiteral(0);
    w.FixedLiteral(257);
    w.Code(30, 5);
    addDeflate("distance symbol 30", w, PngBadDistanceSymbol);
  }
  {
    CBitWriter w = Block(1, 1);
    w.FixedLiteral(0);
    w.FixedLiteral(257);
    w.Code(1, 5);  // distance 2, one byte out
    addDeflate("distance before the start", w, PngDistanceBeforeStart);
  }
  {
    // Six 9-bit literals and a 7-bit length code end on a byte boundary,
    // so the length's extra bit is past the input.
    CBitWriter w = Block(1, 1);
    for (int i = 0; i < 6; i++) w.FixedLiteral(200);
    w.FixedLiteral(265);
    ASSERT_EQ(w.BitCount(), 64u);
    add("length extra bits past the input", OnePixelPng(w.Zlib(), {64, 1, 8, 0}), PngPairPastInput);
  }
  {
    CBitWriter w = Block(1, 1);
    w.FixedLiteral(200);
    w.FixedLiteral(257);
    w.Code(4, 5);  // distance code 4 takes one extra bit
    ASSERT_EQ(w.BitCount(), 24u);
    addDeflate("distance extra bits past the input", w, PngPairPastInput);
  }
  {
    CBitWriter w = Block(1, 1);
    w.FixedLiteral(0);
    w.FixedLiteral(286);  // carries nothing
    w.FixedLiteral(0x80);
    w.FixedLiteral(256);
    add("symbol 286 is skipped", OnePixelPng(w.Zlib()), PngOk);
  }

  // Dynamic code tables.
  {
    CBitWriter w = Block(1, 2);
    addDeflate("dynamic header: under 2 bytes left", w, PngDynamicHeaderPastInput);
  }
  {
    CBitWriter w = Block(1, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(15, 4);  // 19 code-length codes announced, none follow
    addDeflate("dynamic header past the input", w, PngDynamicHeaderPastInput);
  }
  {
    CBitWriter w = DynamicHeader();
    Repeat16(w, 3);
    addDeflate("repeat 16 first", w, PngRepeatWithoutPrevious);
  }
  {
    CBitWriter w = DynamicHeader();
    Zeros18(w, 138);
    Zeros18(w, 119);
    Repeat16(w, 3);
    addDeflate("repeat 16 past the lengths", w, PngRepeat16PastLengths);
  }
  {
    CBitWriter w = DynamicHeader();
    Zeros18(w, 138);
    Zeros18(w, 119);
    Zeros17(w, 3);
    addDeflate("repeat 17 past the lengths", w, PngRepeat17PastLengths);
  }
  {
    CBitWriter w = DynamicHeader();
    Zeros18(w, 138);
    Zeros18(w, 121);
    addDeflate("repeat 18 past the lengths", w, PngRepeat18PastLengths);
  }
  {
    CBitWriter w = DynamicHeader();
    w.Code(3, 2);  // 18 at bit 31: one bit is left for its seven
    addDeflate("input ends inside a repeat", w, PngRepeatPastInput);
  }
  {
    CBitWriter w = DynamicHeader();
    Zeros18(w, 138);
    Zeros18(w, 120);  // 258 zero lengths: no code for 256
    addDeflate("no end-of-block code", w, PngNoEndCode);
  }
  {
    CBitWriter w = Block(1, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(1, 4);
    for (int i = 0; i < 5; i++) w.Bits(1, 3);  // five codes of one bit
    w.Bits(0, 16);
    addDeflate("over-subscribed code lengths", w, PngBadCodeLengths);
  }
  {
    CBitWriter w = Block(1, 2);
    w.Bits(0, 5);
    w.Bits(0, 5);
    w.Bits(0, 4);
    w.Bits(0, 3), w.Bits(0, 3), w.Bits(0, 3), w.Bits(1, 3);  // only symbol 0, code "0"
    w.Code(1, 1);                                            // the unfilled half of the tree
    w.Bits(0, 8);
    addDeflate("code outside its tree", w, PngHuffmanOutsideTree);
  }
  {
    // Literal/length code: 257 = "0", 0 = "10", 256 = "11"; no distance code at all.
    CBitWriter w = Block(1, 2);
    w.Bits(1, 5);   // 258 literal/length codes
    w.Bits(0, 5);   // 1 distance code
    w.Bits(15, 4);  // 19 code-length codes
    const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    // Symbols 0, 1, 2, 18 get two bits: codes 00, 01, 10, 11.
    for (unsigned s : order) w.Bits(s <= 2 || s == 18 ? 2 : 0, 3);
    w.Code(2, 2);                   // literal 0: length 2
    w.Code(3, 2), w.Bits(127, 7);  // 138 zeros
    w.Code(3, 2), w.Bits(106, 7);  // 117 zeros: up to 255
    w.Code(2, 2);                   // 256: length 2
    w.Code(1, 2);                   // 257: length 1
    w.Code(0, 2);                   // the distance length: 0
    w.Code(2, 2);                   // literal 0
    w.Code(0, 1);                   // length 3, then a distance from the empty tree
    w.Bits(0, 8);
    addDeflate("distance from an empty code", w, PngHuffmanOutsideTree);
  }
  for (const TCase& c : cases) {
    TDecoded d = Decode(c.file);
    EXPECT_EQ(d.error, c.error) << c.what;
    EXPECT_EQ(d.rgba.empty(), c.error != PngOk) << c.what;
  }
}

}  // namespace
