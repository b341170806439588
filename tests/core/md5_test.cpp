#include "core/md5.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/testutil.h"

namespace {

std::string Hex(const uint8_t digest[16]) {
  std::string s;
  char b[3];
  for (int i = 0; i < 16; i++) {
    std::snprintf(b, sizeof b, "%02x", digest[i]);
    s += b;
  }
  return s;
}

std::string DigestOf(const void* bytes, size_t n) {
  TMD5Context c;
  MD5Init(c);
  MD5Update(c, bytes, n);
  uint8_t d[16];
  MD5Final(c, d);
  return Hex(d);
}

std::string DigestOf(const std::string& s) { return DigestOf(s.data(), s.size()); }

// Feeds the bytes in pieces whose sizes the generator picks (0-byte pieces included).
std::string DigestInPieces(const std::vector<uint8_t>& bytes, std::mt19937& rng, size_t maxPiece) {
  TMD5Context c;
  MD5Init(c);
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t n = std::uniform_int_distribution<size_t>(0, maxPiece)(rng);
    if (n > bytes.size() - pos) n = bytes.size() - pos;
    MD5Update(c, bytes.data() + pos, n);
    pos += n;
  }
  uint8_t d[16];
  MD5Final(c, d);
  return Hex(d);
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

TEST(MD5, Rfc1321TestSuite) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(DigestOf(c.input), c.digest) << '"' << c.input << '"';
}

TEST(MD5, FinalWipesTheContext) {
  TMD5Context c;
  MD5Init(c);
  MD5Update(c, "abcdef", 6);
  uint8_t d[16];
  MD5Final(c, d);
  TMD5Context zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&c, &zero, sizeof c), 0);
}

TEST(MD5, ChunkingDoesNotChangeTheDigest) {
  std::mt19937 rng(1321);
  // Lengths around the padding limits (55, 56, 63, 64) and several blocks.
  for (size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 1000u, 4099u, 70000u}) {
    std::vector<uint8_t> bytes = RandomBytes(rng, length);
    std::string whole = DigestOf(bytes.data(), bytes.size());
    for (size_t maxPiece : {1u, 3u, 64u, 200u, 5000u}) {
      EXPECT_EQ(DigestInPieces(bytes, rng, maxPiece), whole) << length << " bytes, pieces up to " << maxPiece;
    }
    // Pieces that end exactly on block boundaries.
    TMD5Context c;
    MD5Init(c);
    for (size_t pos = 0; pos < length; pos += 64) MD5Update(c, bytes.data() + pos, std::min<size_t>(64, length - pos));
    uint8_t d[16];
    MD5Final(c, d);
    EXPECT_EQ(Hex(d), whole) << length;
  }
}

TEST(MD5, RandomFilesAgainstMd5sum) {
  std::mt19937 rng(20240601);
  std::string dir = TestUtil::MakeTempDir("md5");
  for (int i = 0; i < 12; i++) {
    size_t n = i < 4 ? size_t(i) * 37 : std::uniform_int_distribution<size_t>(0, 300000)(rng);
    std::vector<uint8_t> bytes = RandomBytes(rng, n);
    std::string path = dir + "random" + std::to_string(i) + ".bin";
    TestUtil::WriteFile(path, std::string(bytes.begin(), bytes.end()));

    std::string cmd = "md5sum '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    char out[64] = {};
    ASSERT_EQ(std::fread(out, 1, 32, p), 32u);
    pclose(p);
    EXPECT_EQ(DigestInPieces(bytes, rng, 10000), std::string(out, 32)) << n << " bytes";
    std::remove(path.c_str());
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// One call with more than 2^32 bytes: the length must not be cut to 32 bits.
// The zeros are one small memory file mapped side by side over the range.
TEST(MD5, OneCallOfMoreThanFourGigabytes) {
  if (sizeof(size_t) < 8 || kSanitized) GTEST_SKIP() << "needs a 64-bit address space; slow under sanitizers";
  const uint64_t n = (uint64_t(1) << 32) + 1;
  const size_t piece = size_t(64) << 20;
  int fd = memfd_create("md5zeros", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(piece)), 0);
  size_t mapped = size_t((n + piece - 1) / piece * piece);
  auto* base = static_cast<uint8_t*>(mmap(nullptr, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  for (size_t offset = 0; offset < mapped; offset += piece) {
    ASSERT_NE(mmap(base + offset, piece, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
  }
  // head -c 4294967297 /dev/zero | md5sum
  EXPECT_EQ(DigestOf(base, size_t(n)), "f18c798ff5d450dfe4d3acdc12b621ff");
  munmap(base, mapped);
  close(fd);
}

}  // namespace
