// Base64 core (RFC 4648 alphabet, "=" padding): tables, encoder and decoder, free of R so that
// fuzz targets and microbenchmarks build it alone.
#ifndef CLIENT_BASE64_H
#define CLIENT_BASE64_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace b64 {

inline constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr uint8_t pad = '=';
inline constexpr uint8_t invalid = 255;

// 12 input bits -> two output characters, so a 3-byte group takes two lookups.
struct PairTable {
  uint8_t pair[4096][2];
};
constexpr PairTable make_pair_table() {
  PairTable t{};
  for (int i = 0; i < 4096; ++i) {
    t.pair[i][0] = static_cast<uint8_t>(alphabet[i >> 6]);
    t.pair[i][1] = static_cast<uint8_t>(alphabet[i & 63]);
  }
  return t;
}
inline constexpr PairTable pair_table = make_pair_table();

// Character value for bytes 0-127; 255 for anything outside the alphabet, "=" included.
// Bytes 128-255 have no entry and are invalid too.
struct ValueTable {
  uint8_t value[128];
};
constexpr ValueTable make_value_table() {
  ValueTable t{};
  for (auto &v : t.value) v = invalid;
  for (int i = 0; i < 64; ++i) t.value[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
  return t;
}
inline constexpr ValueTable value_table = make_value_table();

// One table per position in a 4-character group, holding the value already shifted into place:
//   aaaaaabb bbbbcccc ccdddddd  <- d[0][a] | d[1][b] | d[2][c] | d[3][d]
// An invalid byte sets bit 24 in every table, so one test checks a whole group.
inline constexpr uint32_t bad_group = 1u << 24;
struct GroupTables {
  uint32_t d[4][256];
};
constexpr GroupTables make_group_tables() {
  GroupTables t{};
  for (int c = 0; c < 256; ++c) {
    uint32_t v = c < 128 ? value_table.value[c] : invalid;
    for (int pos = 0; pos < 4; ++pos) t.d[pos][c] = v == invalid ? bad_group : v << (18 - 6 * pos);
  }
  return t;
}
inline constexpr GroupTables group_tables = make_group_tables();

// Length of the Base64 text of n bytes. Fits 32 bits for every n below 2^31.
constexpr uint32_t encoded_length(uint32_t n) { return 4u * ((n + 2u) / 3u); }

// Writes encoded_length(n) characters to `out`.
inline void encode(const uint8_t *in, uint32_t n, uint8_t *out) {
  const auto &pair = pair_table.pair;
  uint32_t i = 0;
  for (; n - i >= 6; i += 6, out += 8) {
    uint32_t a = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    uint32_t b = uint32_t(in[i + 3]) << 16 | uint32_t(in[i + 4]) << 8 | in[i + 5];
    std::memcpy(out, pair[a >> 12], 2);
    std::memcpy(out + 2, pair[a & 0xFFF], 2);
    std::memcpy(out + 4, pair[b >> 12], 2);
    std::memcpy(out + 6, pair[b & 0xFFF], 2);
  }
  if (n - i >= 3) {
    uint32_t a = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    std::memcpy(out, pair[a >> 12], 2);
    std::memcpy(out + 2, pair[a & 0xFFF], 2);
    i += 3;
    out += 4;
  }
  switch (n - i) {
  case 1:
    out[0] = alphabet[in[i] >> 2];
    out[1] = alphabet[(in[i] & 0x03) << 4];
    out[2] = pad;
    out[3] = pad;
    break;
  case 2:
    out[0] = alphabet[in[i] >> 2];
    out[1] = alphabet[(in[i] & 0x03) << 4 | in[i + 1] >> 4];
    out[2] = alphabet[(in[i + 1] & 0x0F) << 2];
    out[3] = pad;
    break;
  default:
    break;
  }
}

// Most bytes text of length n can decode to: 3 per complete group of 4.
constexpr uint32_t decoded_capacity(uint32_t n) { return 3u * (n / 4u); }

// The decoded length of well-formed text, read off its last two characters; the decoder
// confirms or corrects it.
inline uint32_t expected_length(const uint8_t *in, uint32_t n) {
  uint32_t len = decoded_capacity(n);
  if (n % 4 != 0 || n == 0) return len;
  if (in[n - 1] == pad) len -= in[n - 2] == pad ? 2 : 1;
  return len;
}

struct Decoded {
  uint32_t length;   // the result's length: the complete bytes, or the capacity if malformed
  uint32_t complete; // leading bytes of `out` holding decoded data; the rest of it is zero
};

// Decodes `in`, writing at most `out_size` bytes. The result has `length` bytes: the decoded
// bytes when the walk ends at the first "=" or at the end; the capacity when n is not a multiple
// of 4 or a byte outside the alphabet stops it. Bytes of `out` from `complete` up to
// min(length, out_size) are set to 0, so no partly decoded byte is ever exposed.
inline Decoded decode(const uint8_t *in, uint32_t n, uint8_t *out, uint32_t out_size) {
  const uint32_t capacity = decoded_capacity(n);
  uint32_t k = 0;
  uint32_t i = 0;
  Decoded result{capacity, 0};
  if (n % 4 == 0) {
    const auto &d = group_tables.d;
    // Whole groups while they are valid and fit; the exact walk below takes over where not.
    for (; i + 4 <= n && k + 3 <= out_size; i += 4, k += 3) {
      uint32_t x = d[0][in[i]] | d[1][in[i + 1]] | d[2][in[i + 2]] | d[3][in[i + 3]];
      if (x & bad_group) break;
      out[k] = static_cast<uint8_t>(x >> 16);
      out[k + 1] = static_cast<uint8_t>(x >> 8);
      out[k + 2] = static_cast<uint8_t>(x);
    }
    // Byte-by-byte: stop at "=", give up at an invalid byte.
    uint32_t partial = 0;
    bool malformed = false;
    for (; i < n; ++i) {
      uint8_t c = in[i];
      if (c == pad) break;
      uint8_t v = c < 128 ? value_table.value[c] : invalid;
      if (v == invalid) {
        malformed = true;
        break;
      }
      uint32_t byte;
      switch (i % 4) {
      case 0:
        partial = uint32_t(v) << 2;
        continue;
      case 1:
        byte = partial | v >> 4;
        partial = (uint32_t(v) << 4) & 0xFF;
        break;
      case 2:
        byte = partial | v >> 2;
        partial = (uint32_t(v) << 6) & 0xFF;
        break;
      default:
        byte = partial | v;
        break;
      }
      if (k < out_size) out[k] = static_cast<uint8_t>(byte);
      ++k;
    }
    if (!malformed) result.length = k;
  }
  result.complete = k < out_size ? k : out_size;
  uint32_t end = result.length < out_size ? result.length : out_size;
  if (end > result.complete) std::memset(out + result.complete, 0, end - result.complete);
  return result;
}

} // namespace b64

#endif
