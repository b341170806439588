// PNG chunks, scanline filters, Adam7 and the expansion to 8-bit RGBA.
#include "raster/pngdecoder.h"

#include <cstring>
#include <new>

namespace {

constexpr uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr size_t kFirstChunk = 33;  // IHDR is taken to be 13 bytes long

uint32_t ReadBigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t ReadBigEndian16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

unsigned ChannelCount(int32_t colourType) {
  switch (colourType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;  // grey and palette
  }
}

// Adam7: start column, start row, column step, row step of each pass.
struct TPass {
  uint32_t startX, startY, stepX, stepY;
};
constexpr TPass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                             {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// One reduced image: the whole image, or one Adam7 pass. A pass of zero
// width or height has no scanlines at all, not even filter bytes.
struct TSubImage {
  TPass pass;
  uint64_t width, height;
  uint64_t lineBytes;  // without the filter byte
  uint64_t offset;     // of its first filter byte in the inflated data
  uint64_t Bytes() const { return width && height ? height * (lineBytes + 1) : 0; }
};

// The layout of the inflated data; returns the number of sub-images.
unsigned PlanSubImages(const TPngInfo& info, unsigned bitsPerPixel, TSubImage* images, uint64_t* totalBytes) {
  unsigned n = info.interlaceMethod ? 7 : 1;
  uint64_t offset = 0;
  for (unsigned i = 0; i < n; i++) {
    TSubImage& s = images[i];
    s.pass = info.interlaceMethod ? kAdam7[i] : TPass{0, 0, 1, 1};
    s.width = info.width > s.pass.startX ? (info.width - s.pass.startX + s.pass.stepX - 1) / s.pass.stepX : 0;
    s.height = info.height > s.pass.startY ? (info.height - s.pass.startY + s.pass.stepY - 1) / s.pass.stepY : 0;
    s.lineBytes = (s.width * bitsPerPixel + 7) / 8;
    s.offset = offset;
    offset += s.Bytes();
  }
  *totalBytes = offset;
  return n;
}

uint8_t PaethPredict(int a, int b, int c) {
  int p = a + b - c;
  int pa = p > a ? p - a : a - p;
  int pb = p > b ? p - b : b - p;
  int pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  if (pb <= pc) return static_cast<uint8_t>(b);
  return static_cast<uint8_t>(c);
}

// Reconstructs one line in place; `above` is null for the first line.
int32_t UndoScanlineFilter(uint8_t* line, const uint8_t* above, size_t n, size_t distance, unsigned type) {
  switch (type) {
    case 0:
      break;
    case 1:
      for (size_t i = distance; i < n; i++) line[i] = static_cast<uint8_t>(line[i] + line[i - distance]);
      break;
    case 2:
      if (above) {
        for (size_t i = 0; i < n; i++) line[i] = static_cast<uint8_t>(line[i] + above[i]);
      }
      break;
    case 3:
      for (size_t i = 0; i < n; i++) {
        unsigned left = i >= distance ? line[i - distance] : 0;
        unsigned up = above ? above[i] : 0;
        line[i] = static_cast<uint8_t>(line[i] + ((left + up) >> 1));
      }
      break;
    case 4:
      for (size_t i = 0; i < n; i++) {
        int left = i >= distance ? line[i - distance] : 0;
        int up = above ? above[i] : 0;
        int upLeft = above && i >= distance ? above[i - distance] : 0;
        line[i] = static_cast<uint8_t>(line[i] + PaethPredict(left, up, upLeft));
      }
      break;
    default:
      return PngBadFilterType;
  }
  return PngOk;
}

// Packed samples of 1, 2 or 4 bits, most significant bit first.
class CBitReader {
 public:
  explicit CBitReader(const uint8_t* data) : data(data) {}
  unsigned ReadBitsMsbFirst(unsigned n) {
    unsigned v = 0;
    for (unsigned i = 0; i < n; i++, pos++) v = v << 1 | ((data[pos >> 3] >> (7 - (pos & 7))) & 1);
    return v;
  }

 private:
  const uint8_t* data;
  size_t pos = 0;
};

// Expands one reconstructed line of `count` pixels to RGBA; pixel i goes to
// out + i * step.
int32_t ExpandToRgba32(const TPngInfo& info, const uint8_t* line, size_t count, uint8_t* out, size_t step) {
  const unsigned depth = static_cast<unsigned>(info.bitDepth);
  const bool key = info.keyDefined;
  auto put = [&](size_t i, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    uint8_t* p = out + i * step;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
  };
  switch (info.colourType) {
    case 0:
      if (depth == 8) {
        for (size_t i = 0; i < count; i++) {
          uint8_t v = line[i];
          put(i, v, v, v, key && v == info.keyRed ? 0 : 255);
        }
      } else if (depth == 16) {
        for (size_t i = 0; i < count; i++) {
          uint8_t v = line[2 * i];
          put(i, v, v, v, key && ReadBigEndian16(line + 2 * i) == info.keyRed ? 0 : 255);
        }
      } else {
        const unsigned scale = 255 / ((1u << depth) - 1);
        CBitReader bits(line);
        for (size_t i = 0; i < count; i++) {
          unsigned raw = bits.ReadBitsMsbFirst(depth);
          uint8_t v = static_cast<uint8_t>(raw * scale);
          put(i, v, v, v, key && raw == info.keyRed ? 0 : 255);
        }
      }
      break;
    case 2:
      for (size_t i = 0; i < count; i++) {
        if (depth == 8) {
          const uint8_t* s = line + 3 * i;
          bool transparent = key && s[0] == info.keyRed && s[1] == info.keyGreen && s[2] == info.keyBlue;
          put(i, s[0], s[1], s[2], transparent ? 0 : 255);
        } else {
          const uint8_t* s = line + 6 * i;
          bool transparent = key && ReadBigEndian16(s) == info.keyRed && ReadBigEndian16(s + 2) == info.keyGreen &&
                             ReadBigEndian16(s + 4) == info.keyBlue;
          put(i, s[0], s[2], s[4], transparent ? 0 : 255);
        }
      }
      break;
    case 3: {
      const size_t entries = info.palette.Size() / 4;
      CBitReader bits(line);
      for (size_t i = 0; i < count; i++) {
        unsigned index = depth == 8 ? line[i] : bits.ReadBitsMsbFirst(depth);
        if (index >= entries) return depth == 8 ? PngPaletteIndex8 : PngPaletteIndexPacked;
        std::memcpy(out + i * step, info.palette.data + 4 * index, 4);
      }
      break;
    }
    case 4:
      for (size_t i = 0; i < count; i++) {
        const uint8_t* s = line + (depth == 8 ? 2 : 4) * i;
        uint8_t grey = s[0], alpha = depth == 8 ? s[1] : s[2];
        put(i, grey, grey, grey, alpha);
      }
      break;
    default:  // 6
      for (size_t i = 0; i < count; i++) {
        if (depth == 8) {
          std::memcpy(out + i * step, line + 4 * i, 4);
        } else {
          const uint8_t* s = line + 8 * i;
          put(i, s[0], s[2], s[4], s[6]);
        }
      }
      break;
  }
  return PngOk;
}

// Inflates, unfilters and expands the joined IDAT data.
int32_t DecodeImageData(const TPngInfo& info, const CReallocArray<uint8_t>& compressed,
                        CReallocArray<uint8_t>& pixels) {
  const unsigned bitsPerPixel = ChannelCount(info.colourType) * static_cast<unsigned>(info.bitDepth);
  TSubImage images[7];
  uint64_t expected;
  unsigned count = PlanSubImages(info, bitsPerPixel, images, &expected);

  CReallocArray<uint8_t> inflated;
  if (int32_t e = ZlibUnwrap(inflated, compressed.data, compressed.Size(), static_cast<size_t>(expected))) return e;
  if (inflated.Size() < expected) return PngImageDataShort;

  // Every line is reconstructed before any is expanded.
  const size_t distance = (bitsPerPixel + 7) / 8;
  for (unsigned k = 0; k < count; k++) {
    const TSubImage& s = images[k];
    if (!s.Bytes()) continue;
    const uint8_t* above = nullptr;
    for (uint64_t row = 0; row < s.height; row++) {
      uint8_t* line = inflated.data + s.offset + row * (s.lineBytes + 1);
      if (int32_t e = UndoScanlineFilter(line + 1, above, s.lineBytes, distance, line[0])) return e;
      above = line + 1;
    }
  }

  const size_t width = info.width;
  pixels.Resize(width * info.height * 4);
  for (unsigned k = 0; k < count; k++) {
    const TSubImage& s = images[k];
    if (!s.Bytes()) continue;
    for (uint64_t row = 0; row < s.height; row++) {
      const uint8_t* line = inflated.data + s.offset + row * (s.lineBytes + 1) + 1;
      size_t y = s.pass.startY + row * s.pass.stepY;
      uint8_t* out = pixels.data + (y * width + s.pass.startX) * 4;
      if (int32_t e = ExpandToRgba32(info, line, s.width, out, s.pass.stepX * 4)) return e;
    }
  }
  return PngOk;
}

int32_t ReadTransparency(TPngInfo& info, const uint8_t* chunk, uint32_t length) {
  switch (info.colourType) {
    case 3:
      if (length > info.palette.Size() / 4) return PngTrnsTooLong;
      for (uint32_t i = 0; i < length; i++) info.palette[4 * i + 3] = chunk[i];
      return PngOk;
    case 0:
      if (length != 2) return PngTrnsGreySize;
      info.keyRed = info.keyGreen = info.keyBlue = ReadBigEndian16(chunk);
      info.keyDefined = true;
      return PngOk;
    case 2:
      if (length != 6) return PngTrnsRgbSize;
      info.keyRed = ReadBigEndian16(chunk);
      info.keyGreen = ReadBigEndian16(chunk + 2);
      info.keyBlue = ReadBigEndian16(chunk + 4);
      info.keyDefined = true;
      return PngOk;
    default:
      return PngTrnsWithAlpha;
  }
}

int32_t Decode(TPngInfo& info, CReallocArray<uint8_t>& pixels, const uint8_t* data, size_t size) {
  if (!data || size == 0) return PngNoInput;
  if (int32_t e = ParsePngHeader(info, data, size)) return e;
  CReallocArray<uint8_t> compressed;
  uint64_t b = kFirstChunk;
  for (;;) {
    if (b + 8 >= size) return PngNoIend;
    const uint32_t length = ReadBigEndian32(data + b);
    if (length & 0x80000000u) return PngChunkLengthTooLarge;
    if (b + 8 + length > size) return PngChunkPastEnd;
    const uint8_t* type = data + b + 4;
    const uint8_t* chunk = data + b + 8;
    if (std::memcmp(type, "IDAT", 4) == 0) {
      size_t old = compressed.Size();
      compressed.Resize(old + length);
      if (length) std::memcpy(compressed.data + old, chunk, length);
    } else if (std::memcmp(type, "PLTE", 4) == 0) {
      uint32_t entries = length / 3;
      if (entries > 256) return PngPaletteTooLarge;
      info.palette.Resize(entries * 4);
      for (uint32_t i = 0; i < entries; i++) {
        std::memcpy(info.palette.data + 4 * i, chunk + 3 * i, 3);
        info.palette[4 * i + 3] = 255;
      }
    } else if (std::memcmp(type, "tRNS", 4) == 0) {
      if (int32_t e = ReadTransparency(info, chunk, length)) return e;
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      return DecodeImageData(info, compressed, pixels);
    } else if (!(type[0] & 0x20)) {
      return PngUnknownCriticalChunk;
    }
    b += 12 + static_cast<uint64_t>(length);  // the CRC is not read
  }
}

}  // namespace

int32_t ParsePngHeader(TPngInfo& info, const uint8_t* data, size_t size) {
  info.error = [&]() -> int32_t {
    if (size < 29) return PngFileTooShort;
    if (std::memcmp(data, kSignature, 8) != 0) return PngBadSignature;
    if (std::memcmp(data + 12, "IHDR", 4) != 0) return PngNoIhdr;
    info.width = ReadBigEndian32(data + 16);
    info.height = ReadBigEndian32(data + 20);
    info.bitDepth = data[24];
    info.colourType = data[25];
    info.compressionMethod = data[26];
    info.filterMethod = data[27];
    info.interlaceMethod = data[28];
    if (info.compressionMethod != 0) return PngBadCompressionMethod;
    if (info.filterMethod != 0) return PngBadFilterMethod;
    if (info.interlaceMethod > 1) return PngBadInterlaceMethod;
    const int32_t d = info.bitDepth;
    switch (info.colourType) {
      case 0:
        if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) return PngBadBitDepth;
        break;
      case 3:
        if (d != 1 && d != 2 && d != 4 && d != 8) return PngBadBitDepth;
        break;
      case 2:
      case 4:
      case 6:
        if (d != 8 && d != 16) return PngBadBitDepth;
        break;
      default:
        return PngBadColourType;
    }
    if (info.width == 0 || info.height == 0) return PngEmptyImage;
    if (static_cast<uint64_t>(info.width) * info.height > kPngMaxPixels) return PngImageTooLarge;
    return PngOk;
  }();
  return info.error;
}

void DecodePngImage(TPngInfo& info, CReallocArray<uint8_t>& pixels, const uint8_t* data, size_t size) {
  info.width = info.height = 0;
  info.colourType = info.bitDepth = info.compressionMethod = info.filterMethod = info.interlaceMethod = 0;
  info.keyRed = info.keyGreen = info.keyBlue = 0;
  info.keyDefined = false;
  info.palette.Clear();
  try {
    info.error = Decode(info, pixels, data, size);
  } catch (const std::bad_alloc&) {
    info.error = PngOutOfMemory;
  }
  if (info.error) pixels.Clear();
}
