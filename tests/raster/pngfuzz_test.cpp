// The PNG decoder on damaged copies of the test images: cut short at every
// length and with random bytes changed. It must answer with a code (never
// crash, never read outside its input, which ASan checks) and stay small.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "raster/pngdecoder.h"
#include "raster/pngtestutil.h"

namespace {

using PngTest::TBytes;

const std::string kSuite = std::string(ORLUMO_SHARED_DIR) + "/testdata/pngsuite/";
#define SKIP_WITHOUT_TEST_IMAGES() \
  if (!std::filesystem::exists(kSuite)) GTEST_SKIP() << "no PNG test images at " << kSuite

std::vector<TBytes> Corpus() {
  std::vector<std::string> paths;
  for (const char* dir : {"/testdata/pngsuite/", "/testdata/png-extra/"}) {
    for (const auto& e : std::filesystem::directory_iterator(std::string(ORLUMO_SHARED_DIR) + dir)) {
      if (e.path().extension() == ".png") paths.push_back(e.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<TBytes> files;
  for (const std::string& p : paths) files.push_back(PngTest::ReadFileBytes(p));
  return files;
}

// Decodes a copy that has exactly `size` bytes, so ASan sees any read beyond.
int32_t DecodeCopy(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  TPngInfo info;
  CReallocArray<uint8_t> pixels;
  DecodePngImage(info, pixels, copy.empty() ? nullptr : copy.data(), copy.size());
  EXPECT_EQ(pixels.Size(), info.error ? 0 : size_t{info.width} * info.height * 4);
  return info.error;
}

bool KnownCode(int32_t e) {
  static const int32_t codes[] = {0,  10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 21, 23, 24, 25, 26, 27, 28, 29, 30,
                                  31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 46, 47, 48, 49, 50, 51, 52, 53,
                                  55, 56, 57, 58, 59, 63, 64, 69};
  return std::find(std::begin(codes), std::end(codes), e) != std::end(codes);
}

#ifdef __SANITIZE_ADDRESS__
// Under ASan the memory cap is the allocator's: no block over 256 MiB (the
// decoder then gets null and reports it), and the process dies past 2 GiB.
extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=256:allocator_may_return_null=1:hard_rss_limit_mb=2048:quarantine_size_mb=32";
}
constexpr long kMemoryCapMiB = 2048;
#else
constexpr long kMemoryCapMiB = 256;
#endif

long PeakMemoryMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// Every prefix of every image. A cut file never decodes: its IEND is gone
// (a cut inside the IEND CRC aside, which is never read).
TEST(PngFuzz, EveryTruncation) {
  SKIP_WITHOUT_TEST_IMAGES();
  for (const TBytes& file : Corpus()) {
    for (size_t n = 0; n < file.size(); n++) {
      int32_t e = DecodeCopy(file.data(), n);
      ASSERT_TRUE(KnownCode(e)) << e;
      if (n + 4 < file.size()) {
        ASSERT_NE(e, 0) << "cut at " << n;
      }
    }
  }
  EXPECT_LT(PeakMemoryMiB(), kMemoryCapMiB);
}

// The image's chunks up to its first IDAT, then the joined IDAT data.
struct TSplitPng {
  TBytes head;
  TBytes zlibData;
};

TSplitPng Split(const TBytes& file) {
  TSplitPng s;
  s.head.assign(file.begin(), file.begin() + 8);
  size_t b = 8;
  while (b + 12 <= file.size()) {
    uint32_t length = static_cast<uint32_t>(file[b]) << 24 | file[b + 1] << 16 | file[b + 2] << 8 | file[b + 3];
    if (length > file.size() - b - 12) break;
    std::string type(file.begin() + b + 4, file.begin() + b + 8);
    if (type == "IEND") break;
    if (type == "IDAT") s.zlibData.insert(s.zlibData.end(), file.begin() + b + 8, file.begin() + b + 8 + length);
    else if (s.zlibData.empty()) s.head.insert(s.head.end(), file.begin() + b, file.begin() + b + 12 + length);
    b += 12 + length;
  }
  return s;
}

// The compressed image data cut at every length (or at 400 places spread
// over a long stream) in an otherwise whole file: the inflater runs to the
// cut every time.
TEST(PngFuzz, EveryTruncatedImageStream) {
  SKIP_WITHOUT_TEST_IMAGES();
  for (const TBytes& file : Corpus()) {
    TSplitPng s = Split(file);
    ASSERT_FALSE(s.zlibData.empty());
    const size_t total = s.zlibData.size();
    const size_t cuts = std::min<size_t>(total, 400);
    for (size_t k = 0; k < cuts; k++) {
      size_t n = total * k / cuts;
      TBytes png = s.head;
      PngTest::AppendChunk(png, "IDAT", TBytes(s.zlibData.begin(), s.zlibData.begin() + n));
      PngTest::AppendChunk(png, "IEND", {});
      int32_t e = DecodeCopy(png.data(), png.size());
      ASSERT_TRUE(KnownCode(e)) << e;
      // Four bytes of Adler-32 close the stream; a cut before the final
      // block's end leaves the image short.
      if (n + 10 < total) {
        ASSERT_NE(e, 0) << "cut at " << n;
      }
    }
  }
  EXPECT_LT(PeakMemoryMiB(), kMemoryCapMiB);
}

TEST(PngFuzz, RandomByteChanges) {
  SKIP_WITHOUT_TEST_IMAGES();
  std::vector<TBytes> corpus = Corpus();
  std::mt19937 random(20240611);
  int decoded = 0;
  for (int round = 0; round < 4000;) {
    // Mostly the small suite images, so the emulated builds stay quick.
    const TBytes& original = corpus[random() % corpus.size()];
    if (original.size() > 20000 && random() % 8) continue;
    round++;
    TBytes file = original;
    int changes = 1 + random() % 4;
    for (int i = 0; i < changes; i++) {
      // Half of the changes hit the first 64 bytes: the header and first chunks.
      size_t at = random() % 2 ? random() % std::min<size_t>(64, file.size()) : random() % file.size();
      file[at] ^= static_cast<uint8_t>(1 + random() % 255);
    }
    int32_t e = DecodeCopy(file.data(), file.size());
    ASSERT_TRUE(KnownCode(e)) << e;
    decoded += e == 0;
  }
  EXPECT_GT(decoded, 0);
  EXPECT_LT(PeakMemoryMiB(), kMemoryCapMiB);
}

// Headers that claim the largest images the decoder accepts, over a few
// bytes of data: refused as short without allocating for the claim.
TEST(PngFuzz, LargeClaimsAllocateLittle) {
  const PngTest::THeader claims[] = {{8192, 4096, 16, 6}, {1u << 25, 1, 16, 6}, {1, 1u << 25, 1, 0},
                                     {8192, 4096, 16, 6, 0, 0, 1}};
  for (const PngTest::THeader& h : claims) {
    TBytes png = PngTest::MakePng(h, PngTest::StoredZlib(TBytes(1000, 0)));
    EXPECT_EQ(DecodeCopy(png.data(), png.size()), PngImageDataShort);
  }
  EXPECT_LT(PeakMemoryMiB(), kMemoryCapMiB);
}

}  // namespace
