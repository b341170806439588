// PNG decoder for raster tiles: a whole PNG file in memory becomes 8-bit
// RGBA pixels. Self-contained, with its own zlib/deflate decompressor.
// Chunk CRCs and the Adler-32 sum are not verified.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/containers.h"

// Result codes; 0 is success. The numbers are stored nowhere but tests and
// callers compare them, so they never change.
enum TPngError : int32_t {
  PngOk = 0,
  PngHuffmanPastInput = 10,         // Huffman decoding ran past the end of the input
  PngHuffmanOutsideTree = 11,       // a code leading outside its tree (or to no symbol)
  PngRepeatWithoutPrevious = 12,    // code-length repeat 16 as the first length
  PngRepeat16PastLengths = 13,      // code-length repeats 16, 17, 18 past the number of lengths
  PngRepeat17PastLengths = 14,
  PngRepeat18PastLengths = 15,
  PngBadCodeLengthSymbol = 16,      // code-length symbol above 18
  PngDistanceBeforeStart = 17,      // back-reference before the start of the output
  PngBadDistanceSymbol = 18,        // distance symbol 30 or above
  PngBadBlockType = 20,             // block type 3
  PngStoredLengthMismatch = 21,     // stored block LEN and NLEN do not match
  PngStoredPastInput = 23,          // stored block longer than the input
  PngZlibCheck = 24,                // zlib header check value wrong
  PngZlibMethod = 25,               // compression method not 8, or window above 7
  PngZlibDictionary = 26,           // preset dictionary
  PngFileTooShort = 27,             // 28 bytes or fewer
  PngBadSignature = 28,
  PngNoIhdr = 29,                   // first chunk not IHDR
  PngNoIend = 30,                   // no room for a further chunk header
  PngBadColourType = 31,
  PngBadCompressionMethod = 32,
  PngBadFilterMethod = 33,
  PngBadInterlaceMethod = 34,
  PngChunkPastEnd = 35,             // chunk data past the end of the file
  PngBadFilterType = 36,            // scanline filter type above 4
  PngBadBitDepth = 37,              // bit depth not allowed for the colour type
  PngPaletteTooLarge = 38,          // more than 256 entries
  PngTrnsTooLong = 39,              // more alpha values than palette entries
  PngTrnsGreySize = 40,             // tRNS of a grey image not 2 bytes
  PngTrnsRgbSize = 41,              // tRNS of an RGB image not 6 bytes
  PngTrnsWithAlpha = 42,            // tRNS for a colour type with alpha
  PngPaletteIndex8 = 46,            // palette index beyond the palette, 8-bit image
  PngPaletteIndexPacked = 47,       // the same with 1, 2 or 4 bits
  PngNoInput = 48,
  PngDynamicHeaderPastInput = 49,   // dynamic block header beyond the input
  PngRepeatPastInput = 50,          // input ended inside a code-length repeat
  PngPairPastInput = 51,            // input ended inside a length/distance pair
  PngBlockPastInput = 52,           // input ended before the final block, or stored header cut
  PngZlibTooShort = 53,             // zlib data shorter than 2 bytes
  PngBadCodeLengths = 55,           // code lengths that do not form a valid tree
  PngImageDataShort = 56,           // inflated data shorter than the image's scanlines
  PngEmptyImage = 57,               // width or height 0
  PngImageTooLarge = 58,            // more pixels than the decoder accepts
  PngOutOfMemory = 59,
  PngChunkLengthTooLarge = 63,      // chunk length of 2^31 or more
  PngNoEndCode = 64,                // end-of-block code without a code
  PngUnknownCriticalChunk = 69,
};

// Largest image the decoder takes on (8192 x 4096 RGBA is 128 MiB).
constexpr uint64_t kPngMaxPixels = uint64_t{1} << 25;

// The decoder's result record, filled by one call.
struct TPngInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t colourType = 0;
  int32_t bitDepth = 0;
  int32_t compressionMethod = 0;
  int32_t filterMethod = 0;
  int32_t interlaceMethod = 0;
  uint32_t keyRed = 0;  // tRNS colour key of grey and RGB images (grey: all three)
  uint32_t keyGreen = 0;
  uint32_t keyBlue = 0;
  bool keyDefined = false;
  CReallocArray<uint8_t> palette;  // R, G, B, A per PLTE entry
  int32_t error = PngOk;
};

// Decodes a whole PNG file. On return info holds the header fields and the
// error code; when the error is 0, pixels holds width x height RGBA pixels,
// rows from the top. On error pixels is empty.
void DecodePngImage(TPngInfo& info, CReallocArray<uint8_t>& pixels, const uint8_t* data, size_t size);

// Checks the signature and IHDR (the first 29 bytes) and fills the header
// fields of info; returns the error code (also stored in info). Lets a
// caller refuse an image by its size before reading the rest.
int32_t ParsePngHeader(TPngInfo& info, const uint8_t* data, size_t size);

// Inflates a zlib stream (RFC 1950/1951) into out, stopping once `limit`
// bytes are out. Returns a TPngError code.
int32_t ZlibUnwrap(CReallocArray<uint8_t>& out, const uint8_t* data, size_t size, size_t limit);
