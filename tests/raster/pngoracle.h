// libpng as an independent oracle for the PNG decoder (tests only), set to
// the decoder's conversion rules: palette and colour key expanded to alpha,
// 16-bit samples cut to their high byte, grey widened to RGB, opaque alpha
// added, no gamma. CRCs and the Adler-32 sum are ignored, as the decoder does.
#pragma once

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <memory>

#include "raster/pngtestutil.h"

namespace PngOracle {

using PngTest::TBytes;

struct TImage {
  bool ok = false;
  uint32_t width = 0, height = 0;
  TBytes rgba;
};

struct TReader {
  const TBytes* file;
  size_t pos = 0;
};

inline void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  TReader* r = static_cast<TReader*>(png_get_io_ptr(png));
  if (r->file->size() - r->pos < n) png_error(png, "read past the end");
  std::memcpy(out, r->file->data() + r->pos, n);
  r->pos += n;
}

inline void WriteToMemory(png_structp png, png_bytep data, png_size_t n) {
  TBytes* out = static_cast<TBytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

inline void Quiet(png_structp, png_const_charp) {}
inline void Fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

inline void Lenient(png_structp png) {
  png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  png_set_benign_errors(png, 1);
}

// Everything touched after setjmp lives here, on the heap.
struct TReadState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  TReader reader;
  std::vector<png_bytep> rows;
  TImage image;
  ~TReadState() { png_destroy_read_struct(&png, &info, nullptr); }
};

inline void DecodeInto(TReadState* s) {
  if (setjmp(png_jmpbuf(s->png))) return;
  Lenient(s->png);
  png_set_read_fn(s->png, &s->reader, ReadFromMemory);
  png_read_info(s->png, s->info);
  png_set_expand(s->png);
  png_set_strip_16(s->png);
  png_set_gray_to_rgb(s->png);
  png_set_add_alpha(s->png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(s->png);
  png_read_update_info(s->png, s->info);
  uint32_t w = png_get_image_width(s->png, s->info), h = png_get_image_height(s->png, s->info);
  if (png_get_rowbytes(s->png, s->info) != size_t{w} * 4) return;
  s->image.rgba.resize(size_t{w} * h * 4);
  s->rows.resize(h);
  for (uint32_t y = 0; y < h; y++) s->rows[y] = s->image.rgba.data() + size_t{y} * w * 4;
  png_read_image(s->png, s->rows.data());
  s->image.width = w;
  s->image.height = h;
  s->image.ok = true;
}

inline TImage Decode(const TBytes& file) {
  auto s = std::make_unique<TReadState>();
  s->reader.file = &file;
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, Quiet);
  s->info = png_create_info_struct(s->png);
  DecodeInto(s.get());
  return std::move(s->image);
}

// The same image written again by libpng with other encoder choices.
struct TEncoding {
  int interlace = PNG_INTERLACE_NONE;
  int level = Z_DEFAULT_COMPRESSION;
  int strategy = Z_DEFAULT_STRATEGY;
  int filters = PNG_ALL_FILTERS;
};

struct TReencodeState : TReadState {
  png_structp out = nullptr;
  png_infop outInfo = nullptr;
  TBytes written;
  ~TReencodeState() { png_destroy_write_struct(&out, &outInfo); }
};

inline void ReencodeInto(TReencodeState* s, const TEncoding& e) {
  if (setjmp(png_jmpbuf(s->png))) return;
  Lenient(s->png);
  png_set_read_fn(s->png, &s->reader, ReadFromMemory);
  png_read_png(s->png, s->info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_uint_32 w, h;
  int depth, colour, interlace, compression, filter;
  png_get_IHDR(s->png, s->info, &w, &h, &depth, &colour, &interlace, &compression, &filter);
  png_bytepp rows = png_get_rows(s->png, s->info);

  if (setjmp(png_jmpbuf(s->out))) return;
  png_set_write_fn(s->out, &s->written, WriteToMemory, nullptr);
  png_set_IHDR(s->out, s->outInfo, w, h, depth, colour, e.interlace, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_colorp palette;
  int paletteSize;
  if (png_get_PLTE(s->png, s->info, &palette, &paletteSize)) png_set_PLTE(s->out, s->outInfo, palette, paletteSize);
  png_bytep alpha;
  int alphaCount;
  png_color_16p key;
  if (png_get_tRNS(s->png, s->info, &alpha, &alphaCount, &key)) {
    png_set_tRNS(s->out, s->outInfo, alpha, alphaCount, key);
  }
  png_set_compression_level(s->out, e.level);
  png_set_compression_strategy(s->out, e.strategy);
  png_set_filter(s->out, PNG_FILTER_TYPE_BASE, e.filters);
  png_write_info(s->out, s->outInfo);
  png_write_image(s->out, rows);
  png_write_end(s->out, nullptr);
}

inline TBytes Reencode(const TBytes& file, const TEncoding& e) {
  auto s = std::make_unique<TReencodeState>();
  s->reader.file = &file;
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, Quiet);
  s->info = png_create_info_struct(s->png);
  s->out = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, Fail, Quiet);
  s->outInfo = png_create_info_struct(s->out);
  ReencodeInto(s.get(), e);
  return std::move(s->written);
}

// zlib at any level and strategy.
inline TBytes Compress(const TBytes& raw, int level, int strategy) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy);
  TBytes out(deflateBound(&z, raw.size()));
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace PngOracle
