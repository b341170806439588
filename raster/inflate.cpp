// The zlib wrapper and the deflate decompressor of the PNG decoder. Every
// bit read is bounded by the input, every table index is checked and the
// output never grows past the size the caller expects.
#include <algorithm>
#include <cstring>

#include "raster/pngdecoder.h"

namespace {

constexpr unsigned kMaxCodeLength = 15;
constexpr unsigned kLiteralCodes = 288;
constexpr unsigned kDistanceCodes = 32;
constexpr unsigned kCodeLengthCodes = 19;
constexpr uint16_t kUnfilled = 32767;
constexpr uint32_t kEndOfBlock = 256;

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which the code-length code lengths are stored.
const uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A code tree for n symbols: entry 2k + bit leads from inner node k; a value
// below n is a symbol, a value of n or more leads to inner node value - n.
// `fast` holds the walk over the next kFastBits bits, taken at once when
// that many bits are left: bits 0-15 the symbol or the inner node reached,
// bits 16-19 the bits used, bits 24-25 what was reached.
constexpr unsigned kFastBits = 9;
enum TFastKind : uint32_t { FastSymbol = 0, FastNode = 1, FastOutside = 2 };

struct THuffmanTree {
  unsigned symbols = 0;
  uint16_t entries[2 * kLiteralCodes];
  uint32_t fast[1u << kFastBits];
};

uint32_t FastEntry(TFastKind kind, unsigned value, unsigned bits) { return kind << 24 | bits << 16 | value; }

void MakeFastTable(THuffmanTree& tree) {
  const unsigned n = tree.symbols;
  for (unsigned pattern = 0; pattern < (1u << kFastBits); pattern++) {
    unsigned node = 0;
    uint32_t result = 0;
    for (unsigned b = 0; b < kFastBits; b++) {
      unsigned entry = tree.entries[2 * node + ((pattern >> b) & 1)];
      if (entry < n) {
        result = FastEntry(FastSymbol, entry, b + 1);
        break;
      }
      node = entry - n;
      if (node >= n) {
        result = FastEntry(FastOutside, 0, b + 1);
        break;
      }
      result = FastEntry(FastNode, node, kFastBits);
    }
    tree.fast[pattern] = result;
  }
}

// Canonical codes (RFC 1951, 3.2.2) inserted bit by bit, most significant
// bit first. Incomplete codes are allowed (their holes stay unfilled and fail
// when decoded); over-subscribed ones are not.
int32_t MakeHuffmanCodes(THuffmanTree& tree, const uint8_t* lengths, unsigned n) {
  unsigned count[kMaxCodeLength + 1] = {};
  for (unsigned i = 0; i < n; i++) count[lengths[i]]++;
  count[0] = 0;
  int64_t left = 1;
  for (unsigned len = 1; len <= kMaxCodeLength; len++) {
    left = left * 2 - count[len];
    if (left < 0) return PngBadCodeLengths;
  }
  uint32_t next[kMaxCodeLength + 1] = {};
  uint32_t code = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; len++) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  tree.symbols = n;
  std::fill(tree.entries, tree.entries + 2 * n, kUnfilled);
  unsigned innerNodes = 1;  // the root
  for (unsigned symbol = 0; symbol < n; symbol++) {
    unsigned len = lengths[symbol];
    if (len == 0) continue;
    uint32_t c = next[len]++;
    unsigned node = 0;
    for (unsigned i = len; i-- > 0;) {
      uint16_t& entry = tree.entries[2 * node + ((c >> i) & 1)];
      if (i == 0) {
        if (entry != kUnfilled) return PngBadCodeLengths;
        entry = static_cast<uint16_t>(symbol);
      } else if (entry == kUnfilled) {
        if (innerNodes >= n) return PngBadCodeLengths;
        entry = static_cast<uint16_t>(n + innerNodes);
        node = innerNodes++;
      } else {
        if (entry < n) return PngBadCodeLengths;
        node = entry - n;
      }
    }
  }
  MakeFastTable(tree);
  return PngOk;
}

class CInflater {
 public:
  CInflater(CReallocArray<uint8_t>& out, const uint8_t* data, size_t size, size_t limit)
      : out(out), data(data), size(size), bitEnd(static_cast<uint64_t>(size) * 8), limit(limit) {}

  int32_t InflateStream();

 private:
  // n <= 16 bits, least significant first; false when they pass the input.
  // Only the bytes that hold those bits are read.
  bool ReadBits(unsigned n, uint32_t* value) {
    if (bitEnd - bitPos < n) return false;
    if (n == 0) {
      *value = 0;
      return true;
    }
    size_t i = static_cast<size_t>(bitPos >> 3);
    unsigned have = 8 - (bitPos & 7);
    uint32_t v = data[i] >> (bitPos & 7);
    while (have < n) {
      v |= static_cast<uint32_t>(data[++i]) << have;
      have += 8;
    }
    *value = v & ((1u << n) - 1);
    bitPos += n;
    return true;
  }
  int32_t DecodeSymbol(const THuffmanTree& tree, uint32_t* symbol);
  int32_t InflateStored();
  int32_t InflateCodedBlock(const THuffmanTree& literals, const THuffmanTree& distances);
  int32_t ReadDynamicCodes();
  void MakeFixedCodes();
  bool Full() const { return out.count >= limit; }
  void Room(size_t n) {
    if (out.capacity - out.count < n) out.Reserve(std::min(limit, out.count + std::max<size_t>(n, out.count)));
  }

  CReallocArray<uint8_t>& out;
  const uint8_t* data;
  size_t size;
  uint64_t bitPos = 0;
  uint64_t bitEnd;
  size_t limit;
  bool fixedReady = false;
  THuffmanTree fixedLiterals, fixedDistances;
  THuffmanTree literals, distances, codeLengths;
};

int32_t CInflater::DecodeSymbol(const THuffmanTree& tree, uint32_t* symbol) {
  unsigned node = 0;
  if (bitEnd - bitPos >= kFastBits) {
    // The next kFastBits bits lie in two bytes.
    size_t i = static_cast<size_t>(bitPos >> 3);
    unsigned pattern = ((data[i] | data[i + 1] << 8) >> (bitPos & 7)) & ((1u << kFastBits) - 1);
    uint32_t f = tree.fast[pattern];
    bitPos += (f >> 16) & 15;
    switch (f >> 24) {
      case FastSymbol:
        *symbol = f & 0xFFFF;
        return PngOk;
      case FastOutside:
        return PngHuffmanOutsideTree;
      default:
        node = f & 0xFFFF;
        break;
    }
  }
  for (;;) {
    if (bitPos >= bitEnd) return PngHuffmanPastInput;
    unsigned bit = (data[bitPos >> 3] >> (bitPos & 7)) & 1;
    bitPos++;
    unsigned entry = tree.entries[2 * node + bit];
    if (entry < tree.symbols) {
      *symbol = entry;
      return PngOk;
    }
    node = entry - tree.symbols;  // an unfilled entry lands outside the tree
    if (node >= tree.symbols) return PngHuffmanOutsideTree;
  }
}

int32_t CInflater::InflateStored() {
  uint64_t byte = (bitPos + 7) >> 3;
  if (size - byte < 4) return PngBlockPastInput;
  uint32_t len = data[byte] | data[byte + 1] << 8;
  uint32_t nlen = data[byte + 2] | data[byte + 3] << 8;
  if (len + nlen != 65535) return PngStoredLengthMismatch;
  byte += 4;
  if (size - byte < len) return PngStoredPastInput;
  size_t n = std::min<size_t>(len, limit - out.count);
  Room(n);
  std::memcpy(out.data + out.count, data + byte, n);
  out.count += n;
  bitPos = (byte + len) * 8;
  return PngOk;
}

int32_t CInflater::InflateCodedBlock(const THuffmanTree& lit, const THuffmanTree& dist) {
  while (!Full()) {
    uint32_t symbol;
    if (int32_t e = DecodeSymbol(lit, &symbol)) return e;
    if (symbol < 256) {
      Room(1);
      out.data[out.count++] = static_cast<uint8_t>(symbol);
      continue;
    }
    if (symbol == kEndOfBlock) return PngOk;
    if (symbol > 285) continue;  // 286 and 287 carry nothing
    uint32_t extra;
    if (!ReadBits(kLengthExtra[symbol - 257], &extra)) return PngPairPastInput;
    size_t length = kLengthBase[symbol - 257] + extra;
    uint32_t d;
    if (int32_t e = DecodeSymbol(dist, &d)) return e;
    if (d >= 30) return PngBadDistanceSymbol;
    if (!ReadBits(kDistanceExtra[d], &extra)) return PngPairPastInput;
    size_t distance = kDistanceBase[d] + extra;
    if (distance > out.count) return PngDistanceBeforeStart;
    length = std::min(length, limit - out.count);
    Room(length);
    // Byte by byte: the source may overlap what is being written.
    uint8_t* to = out.data + out.count;
    const uint8_t* from = to - distance;
    for (size_t i = 0; i < length; i++) to[i] = from[i];
    out.count += length;
  }
  return PngOk;
}

void CInflater::MakeFixedCodes() {
  if (fixedReady) return;
  uint8_t lengths[kLiteralCodes];
  std::fill(lengths, lengths + 144, 8);
  std::fill(lengths + 144, lengths + 256, 9);
  std::fill(lengths + 256, lengths + 280, 7);
  std::fill(lengths + 280, lengths + kLiteralCodes, 8);
  MakeHuffmanCodes(fixedLiterals, lengths, kLiteralCodes);
  std::fill(lengths, lengths + kDistanceCodes, 5);
  MakeHuffmanCodes(fixedDistances, lengths, kDistanceCodes);
  fixedReady = true;
}

int32_t CInflater::ReadDynamicCodes() {
  if (size - (bitPos >> 3) < 2) return PngDynamicHeaderPastInput;
  uint32_t hlit, hdist, hclen;
  if (!ReadBits(5, &hlit) || !ReadBits(5, &hdist) || !ReadBits(4, &hclen)) return PngDynamicHeaderPastInput;
  hlit += 257;
  hdist += 1;
  hclen += 4;
  uint8_t clLengths[kCodeLengthCodes] = {};
  for (unsigned i = 0; i < hclen; i++) {
    uint32_t v;
    if (!ReadBits(3, &v)) return PngDynamicHeaderPastInput;
    clLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(v);
  }
  if (int32_t e = MakeHuffmanCodes(codeLengths, clLengths, kCodeLengthCodes)) return e;

  // Literal/length lengths, then distance lengths; repeats may run across.
  uint8_t lengths[kLiteralCodes + kDistanceCodes] = {};
  const unsigned total = hlit + hdist;
  unsigned i = 0;
  while (i < total) {
    uint32_t symbol;
    if (int32_t e = DecodeSymbol(codeLengths, &symbol)) return e;
    if (symbol <= 15) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    if (symbol > 18) return PngBadCodeLengthSymbol;
    static const unsigned kExtraBits[3] = {2, 3, 7};
    static const unsigned kBase[3] = {3, 3, 11};
    static const int32_t kPastLengths[3] = {PngRepeat16PastLengths, PngRepeat17PastLengths, PngRepeat18PastLengths};
    unsigned k = symbol - 16;
    if (symbol == 16 && i == 0) return PngRepeatWithoutPrevious;
    uint32_t extra;
    if (!ReadBits(kExtraBits[k], &extra)) return PngRepeatPastInput;
    unsigned repeat = kBase[k] + extra;
    if (repeat > total - i) return kPastLengths[k];
    uint8_t value = symbol == 16 ? lengths[i - 1] : 0;
    std::fill(lengths + i, lengths + i + repeat, value);
    i += repeat;
  }
  if (lengths[kEndOfBlock] == 0) return PngNoEndCode;

  uint8_t literalLengths[kLiteralCodes] = {};
  uint8_t distanceLengths[kDistanceCodes] = {};
  std::copy(lengths, lengths + hlit, literalLengths);
  std::copy(lengths + hlit, lengths + total, distanceLengths);
  if (int32_t e = MakeHuffmanCodes(literals, literalLengths, kLiteralCodes)) return e;
  return MakeHuffmanCodes(distances, distanceLengths, kDistanceCodes);
}

int32_t CInflater::InflateStream() {
  out.Clear();
  for (;;) {
    if (bitPos >= bitEnd) return PngBlockPastInput;
    uint32_t final, type;
    if (!ReadBits(1, &final) || !ReadBits(2, &type)) return PngBlockPastInput;
    int32_t e;
    switch (type) {
      case 0:
        e = InflateStored();
        break;
      case 1:
        MakeFixedCodes();
        e = InflateCodedBlock(fixedLiterals, fixedDistances);
        break;
      case 2:
        e = ReadDynamicCodes();
        if (!e) e = InflateCodedBlock(literals, distances);
        break;
      default:
        return PngBadBlockType;
    }
    if (e) return e;
    // Whatever follows the expected bytes is not needed.
    if (final || Full()) return PngOk;
  }
}

}  // namespace

int32_t ZlibUnwrap(CReallocArray<uint8_t>& out, const uint8_t* data, size_t size, size_t limit) {
  out.Clear();
  if (size < 2) return PngZlibTooShort;
  unsigned cmf = data[0], flg = data[1];
  if ((cmf * 256 + flg) % 31 != 0) return PngZlibCheck;
  if ((cmf & 15) != 8 || cmf >= 128) return PngZlibMethod;
  if (flg & 0x20) return PngZlibDictionary;
  CInflater inflater(out, data + 2, size - 2, limit);
  return inflater.InflateStream();
}
