#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/streams.h"
#include "support/testutil.h"

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A file stream over a temp file with the given contents.
struct TFileFixture {
  std::string path;
  explicit TFileFixture(const std::string& contents, const char* name = "stream") {
    path = TestUtil::MakeTempDir(name) + "data.bin";
    TestUtil::WriteFile(path, contents);
  }
};

std::vector<std::string> AllLines(CBufReadStream& s) {
  std::vector<std::string> lines;
  while (char* line = s.ReadLine()) lines.push_back(line);
  return lines;
}

TStreamErrorCode ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const TStreamException& e) {
    return e.code;
  }
  return static_cast<TStreamErrorCode>(-1);
}

class CTestBufStream : public CFileReadStream {
 public:
  using CFileReadStream::CFileReadStream;
};

}  // namespace

TEST(BufReadStream, BufferSizeRule) {
  struct Case {
    uint64_t asked, expected;
  } cases[] = {{0, 0}, {1, 1024}, {1024, 1024}, {1025, 1536}, {2048, 2048}, {~0ull, ~0ull}};
  for (const Case& c : cases) EXPECT_EQ(CFileReadStream(c.asked).BufferSize(), c.expected) << c.asked;
}

TEST(BufReadStream, LineEnds) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\r\nb\rc\n\nd", {"a", "b", "c", "", "d"}},
      {"last", {"last"}},
      {"x\n", {"x"}},
      {"x\n\n", {"x"}},
      {"", {}},
      {"\n", {}},
      {"\r\n\r\nz", {"", "", "z"}},
  };
  for (uint64_t buffer : {CBufReadStream::kWholeStream, uint64_t(1024)}) {
    for (const Case& c : cases) {
      TFileFixture f(c.text);
      CFileReadStream s(buffer);
      ASSERT_TRUE(s.Open(f.path.c_str()));
      EXPECT_EQ(AllLines(s), c.lines) << c.text;
    }
  }
}

TEST(BufReadStream, ManyLinesOfEveryEnding) {
  for (const char* end : {"\n", "\r", "\r\n"}) {
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; i < 20000; i++) {
      expected.push_back(std::string(i % 300, static_cast<char>('a' + i % 26)));
      text += expected.back() + end;
    }
    TFileFixture f(text);
    for (uint64_t buffer : {CBufReadStream::kWholeStream, uint64_t(4096)}) {
      CFileReadStream s(buffer);
      ASSERT_TRUE(s.Open(f.path.c_str()));
      std::vector<std::string> lines = AllLines(s);
      EXPECT_TRUE(lines == expected) << end << " " << buffer;
    }
  }
}

TEST(BufReadStream, LongLinesComeInPiecesWithAFiniteBuffer) {
  std::string text = std::string(3000, 'q') + "\nshort\n" + std::string(500, 'r') + "\r\nend";
  TFileFixture f(text);
  CFileReadStream s(1024);
  ASSERT_TRUE(s.Open(f.path.c_str()));
  std::string joined;
  std::vector<std::string> lines = AllLines(s);
  for (const std::string& l : lines) {
    EXPECT_LE(l.size(), 1024u);
    if (l[0] == 'q') joined += l;
  }
  EXPECT_EQ(joined, std::string(3000, 'q'));
  EXPECT_EQ(lines[lines.size() - 3], "short");
  EXPECT_EQ(lines[lines.size() - 2], std::string(500, 'r'));
  EXPECT_EQ(lines.back(), "end");

  CFileReadStream whole(CBufReadStream::kWholeStream);
  ASSERT_TRUE(whole.Open(f.path.c_str()));
  EXPECT_EQ(std::string(whole.ReadLine()), std::string(3000, 'q'));
}

TEST(BufReadStream, GetDataWithinTheBufferRule) {
  std::string data = RandomBytes(10000, 1);
  TFileFixture f(data);
  for (uint64_t pos = 0; pos + 512 <= data.size(); pos += 37) {
    CFileReadStream s(1024);
    ASSERT_TRUE(s.Open(f.path.c_str()));
    s.Seek(pos);
    const uint8_t* p = s.GetData(512);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(p), 512), data.substr(pos, 512)) << pos;
  }
  CFileReadStream s(1024);
  ASSERT_TRUE(s.Open(f.path.c_str()));
  s.Seek(512 + 430);  // 430 bytes into its block: 600 more run past the buffer
  s.GetData(10);
  EXPECT_EQ(ErrorOf([&] { s.GetData(600); }), StreamErrorBuffer);
  CFileReadStream t(1024);
  ASSERT_TRUE(t.Open(f.path.c_str()));
  t.Seek(512 + 400);
  const uint8_t* p = t.GetData(600);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 600), data.substr(912, 600));
  EXPECT_EQ(ErrorOf([&] { t.GetData(data.size()); }), StreamErrorRange);
}

// A read that runs past the buffer must refill from the new buffer start.
TEST(BufReadStream, ReadAcrossTheBufferEndNearTheFileEnd) {
  std::string data = RandomBytes(1500, 2);
  TFileFixture f(data);
  CFileReadStream s(1024);
  ASSERT_TRUE(s.Open(f.path.c_str()));
  s.Seek(1000);
  char out[100];
  s.Read(out, 100);
  EXPECT_EQ(std::string(out, 100), data.substr(1000, 100));
  s.Read(out, 100);
  EXPECT_EQ(std::string(out, 100), data.substr(1100, 100));
}

TEST(BufReadStream, SeekBeforeTheBufferThenReadAcrossItsOldStart) {
  std::string data = RandomBytes(8000, 3);
  TFileFixture f(data);
  CFileReadStream s(1024);
  ASSERT_TRUE(s.Open(f.path.c_str()));
  s.Seek(4100);
  char out[1500];
  s.Read(out, 10);
  s.Seek(3900);
  s.Read(out, 1500);
  EXPECT_EQ(std::string(out, 1500), data.substr(3900, 1500));
}

TEST(BufReadStream, RandomSeeksAndReadsMatchTheFile) {
  std::string data = RandomBytes(200000, 4);
  TFileFixture f(data);
  for (uint64_t buffer : {uint64_t(0), uint64_t(1024), uint64_t(4096), uint64_t(65536), CBufReadStream::kWholeStream}) {
    CFileReadStream s(buffer);
    ASSERT_TRUE(s.Open(f.path.c_str()));
    std::mt19937 rng(static_cast<uint32_t>(buffer));
    std::vector<char> out(70000);
    for (int i = 0; i < 400; i++) {
      uint64_t pos = rng() % (data.size() + 1);
      s.Seek(pos);
      uint64_t n = std::min<uint64_t>(rng() % (rng() % 3 ? 700 : 70000), data.size() - pos);
      if (buffer && rng() % 4 == 0 && n <= s.GetMaxData()) {
        const uint8_t* p = s.GetData(n);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(p), n), data.substr(pos, n)) << buffer << " " << pos;
      } else {
        s.Read(out.data(), n);
        ASSERT_EQ(std::string(out.data(), n), data.substr(pos, n)) << buffer << " " << pos << " " << n;
      }
      EXPECT_EQ(s.GetPos(), pos + n);
      EXPECT_EQ(s.GetRemaining(), data.size() - pos - n);
    }
    EXPECT_EQ(ErrorOf([&] { s.Seek(data.size() + 1); }), StreamErrorRange);
  }
}

TEST(BufReadStream, CopyTo) {
  std::string data = RandomBytes(5000, 5);
  TFileFixture f(data);
  CFileReadStream s(1024);
  ASSERT_TRUE(s.Open(f.path.c_str()));
  s.Seek(100);
  CMemStream target;
  s.CopyTo(target, 4000);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(target.Data()), 4000), data.substr(100, 4000));
  EXPECT_EQ(s.GetPos(), 4100u);
  EXPECT_EQ(ErrorOf([&] { s.CopyTo(target, 1000); }), StreamErrorRange);
}

TEST(FileReadStream, RefusesWhatIsNotARegularFile) {
  std::string dir = TestUtil::MakeTempDir("notafile");
  CFileReadStream s(CBufReadStream::kWholeStream);
  EXPECT_FALSE(s.Open(dir.c_str()));
  EXPECT_FALSE(s.Open((dir + "missing").c_str()));
  EXPECT_FALSE(s.Open("/dev/null"));
}

TEST(ArrayStream, Bounds) {
  const char data[] = "0123456789";
  CArrayStream s(data, 10);
  s.Seek(10);
  EXPECT_EQ(s.GetRemaining(), 0u);
  EXPECT_EQ(ErrorOf([&] { s.Seek(11); }), StreamErrorRange);
  s.Seek(8);
  EXPECT_EQ(ErrorOf([&] { s.GetData(3); }), StreamErrorRange);
  EXPECT_EQ(s.ReadU16(), '8' | '9' << 8);
}

TEST(FileWriteStream, BufferingSeekAndAppend) {
  std::string dir = TestUtil::MakeTempDir("fws");
  {
    CFileWriteStream w(16);
    ASSERT_TRUE(w.Open((dir + "a").c_str(), false));
    w.Write("0123456789", 10);
    w.Write("abcdefghij", 10);
    EXPECT_EQ(w.GetSize(), 20u);
    EXPECT_TRUE(w.Close());
    EXPECT_TRUE(w.Close());  // closing twice is harmless
  }
  EXPECT_EQ(TestUtil::ReadFile(dir + "a"), "0123456789abcdefghij");
  for (uint64_t buffer : {uint64_t(0), uint64_t(16), uint64_t(0x100000)}) {
    CFileWriteStream w(buffer);
    ASSERT_TRUE(w.Open((dir + "b").c_str(), false));
    w.Write("ABCDEFGH", 8);
    w.Seek(2);
    w.Write("xy", 2);
    w.Write("", 0);  // a 0-byte write succeeds
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(TestUtil::ReadFile(dir + "b"), "ABxyEFGH") << buffer;
  }
  {
    CFileWriteStream w(16);
    ASSERT_TRUE(w.Open((dir + "b").c_str(), true));
    EXPECT_EQ(w.GetPos(), 8u);
    w.Write("++", 2);
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(TestUtil::ReadFile(dir + "b"), "ABxyEFGH++");
    ASSERT_TRUE(w.Open((dir + "new").c_str(), true));
    EXPECT_EQ(w.GetPos(), 0u);
    EXPECT_TRUE(w.Close());
    EXPECT_TRUE(TestUtil::FileExists(dir + "new"));
  }
  // Seeking past the end and writing grows the file with zeros.
  {
    CFileWriteStream w(0x100000);
    ASSERT_TRUE(w.Open((dir + "c").c_str(), false));
    w.Write("hd", 2);
    w.Seek(6);
    w.Write("tl", 2);
    w.Seek(0);
    w.Write("HD", 2);
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(TestUtil::ReadFile(dir + "c"), std::string("HD\0\0\0\0tl", 8));
  }
  EXPECT_FALSE(CFileWriteStream(16).Open(dir.c_str(), false));
}

// A UTF-16 path names the file its UTF-8 form names: one-, two-, three-
// and four-byte characters (the last from a surrogate pair).
TEST(FileWriteStream, OpenWideTakesUtf16Paths) {
  const std::string dir = TestUtil::MakeTempDir("fwswide");
  std::u16string wide(dir.begin(), dir.end());
  wide += u"a\u00e9\u20ac\U0001F600.txt";
  const std::string utf8 = dir + "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.txt";
  CFileWriteStream w(16);
  ASSERT_TRUE(w.OpenWide(wide.c_str(), false));
  w.Write("wide", 4);
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(TestUtil::ReadFile(utf8), "wide");
  ASSERT_TRUE(w.OpenWide(wide.c_str(), true));
  w.Write("!", 1);
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(TestUtil::ReadFile(utf8), "wide!");
}

TEST(FileWriteStream, WriteFromSourcesOfAnyBufferSize) {
  std::string data = RandomBytes(100000, 6);
  std::string dir = TestUtil::MakeTempDir("writefrom");
  for (uint64_t buffer : {uint64_t(0), uint64_t(1000), uint64_t(0x100000)}) {
    CArrayStream src(data.data(), data.size());
    CFileWriteStream w(buffer);
    ASSERT_TRUE(w.Open((dir + "o").c_str(), false));
    w.WriteFrom(src, 0);
    w.WriteFrom(src, 12345);
    w.WriteFrom(src, data.size() - 12345);
    EXPECT_EQ(w.GetPos(), data.size());
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(TestUtil::ReadFile(dir + "o"), data) << buffer;
  }
}

TEST(FileWriteStream, AFailedFlushIsReported) {
  if (!TestUtil::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CFileWriteStream w(0x100000);
  ASSERT_TRUE(w.Open("/dev/full", false));
  w.Write("data", 4);
  EXPECT_FALSE(w.Close());
  CFileWriteStream direct(0);
  ASSERT_TRUE(direct.Open("/dev/full", false));
  EXPECT_EQ(ErrorOf([&] { direct.Write(std::string(70000, 'x').data(), 70000); }), StreamErrorWrite);
}

TEST(MemStream, SharedPositionZeroFillAndBounds) {
  CMemStream m;
  m.Seek(100);
  m.Write("abcd", 4);
  EXPECT_EQ(m.GetSize(), 104u);
  EXPECT_EQ(m.GetPos(), 104u);
  m.Seek(0);
  std::string out(104, 'x');
  m.Read(out.data(), 104);
  EXPECT_EQ(out, std::string(100, '\0') + "abcd");
  EXPECT_EQ(ErrorOf([&] { m.Read(out.data(), 1); }), StreamErrorRange);
  m.Seek(200);
  EXPECT_EQ(ErrorOf([&] { m.GetData(1); }), StreamErrorRange);
  m.Seek(2);
  m.WriteU32(0x01020304);
  m.Seek(2);
  EXPECT_EQ(m.ReadU32(), 0x01020304u);
  CMemStream copy;
  m.Seek(100);
  m.CopyTo(copy, 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.Data()), 4), "abcd");
}

// An insert moves the tail up: what was written behind the insert point
// is found 4 bytes later, what lies before it stays, and the position ends
// after the inserted bytes. At the end it is a plain write.
TEST(MemStream, InsertMovesTheTailUp) {
  CMemStream m;
  m.Write("abcdefgh", 8);
  m.Seek(3);
  m.Insert("WXYZ", 4);
  EXPECT_EQ(m.GetPos(), 7u);
  ASSERT_EQ(m.Size(), 12u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), 12), "abcWXYZdefgh");
  m.Seek(m.Size());
  m.Insert("12", 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), 14), "abcWXYZdefgh12");
  m.Seek(0);
  m.Insert("<", 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), 15), "<abcWXYZdefgh12");
  m.Insert("", 0);
  EXPECT_EQ(m.Size(), 15u);

  // In a big stream the moved bytes cross the reserved steps intact.
  CMemStream big;
  std::string expect = RandomBytes(3u << 20, 11);
  big.Write(expect.data(), expect.size());
  for (size_t at : {size_t{5}, size_t{1} << 20, expect.size() - 1}) {
    big.Seek(at);
    big.Insert("\x01\x02\x03\x04", 4);
    expect.insert(at, "\x01\x02\x03\x04", 4);
  }
  ASSERT_EQ(big.Size(), expect.size());
  EXPECT_TRUE(std::memcmp(big.Data(), expect.data(), expect.size()) == 0);
}

// Big streams map their pages in ahead of the writes: many small writes,
// gaps and rewrites across the first steps keep the same bytes as a plain
// array would, and Clear starts over.
TEST(MemStream, BigStreamsGrowWithTheSameBytes) {
  std::mt19937 rng(7);
  CMemStream m;
  std::string expect;
  for (int round = 0; round < 2; round++) {
    expect.clear();
    while (expect.size() < (13u << 20)) {
      uint32_t r = rng();
      if (r % 97 == 0) {  // a gap behind the end reads as zeros
        size_t gap = r % 300000;
        m.Seek(expect.size() + gap);
        expect.append(gap, '\0');
      } else if (r % 89 == 0 && expect.size() > 8) {  // a rewrite inside
        size_t at = r % (expect.size() - 4);
        m.Seek(at);
        m.WriteU32(r);
        for (int i = 0; i < 4; i++) expect[at + i] = static_cast<char>(r >> (8 * i));
        m.Seek(expect.size());
        continue;
      }
      std::string chunk = RandomBytes(1 + r % 5000, r);
      m.Write(chunk.data(), chunk.size());
      expect += chunk;
    }
    ASSERT_EQ(m.Size(), expect.size());
    EXPECT_TRUE(std::memcmp(m.Data(), expect.data(), expect.size()) == 0);
    m.Clear();
    EXPECT_EQ(m.Size(), 0u);
  }
}
