// MD5 message digest (RFC 1321). Digests map files and raster files; the
// digest of a map file is its id, so the output must match RFC 1321 exactly.
#pragma once

#include <cstddef>
#include <cstdint>

struct TMD5Context {
  uint32_t state[4];   // A, B, C, D
  uint32_t count[2];   // number of bits hashed, modulo 2^64, low word first
  uint8_t buffer[64];  // bytes of the incomplete block
};

void MD5Init(TMD5Context& context);
// Any number of calls of any length may follow each other.
void MD5Update(TMD5Context& context, const void* bytes, size_t length);
// Pads, writes the 16-byte digest and wipes the context.
void MD5Final(TMD5Context& context, uint8_t digest[16]);
// The compression of one block; the block is read as 16 little-endian words.
void MD5Transform(uint32_t state[4], const uint8_t block[64]);
