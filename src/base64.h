// Base64 core (RFC 4648 alphabet, "=" padding): tables, encoder and decoder, free of R so that
// fuzz targets and microbenchmarks build it alone.
#ifndef CLIENT_BASE64_H
#define CLIENT_BASE64_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace b64 {

inline constexpr char alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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

// Two characters to their 12 bits, indexed by first + 256 * second: half a group per lookup.
//   aaaaaa bbbbbb -> aaaaaabbbbbb, or bad_pair (bit 15) if either is outside the alphabet,
// so one test of two lookups checks a whole group. 128 KiB, but the entries valid text reads lie
// in 64 runs of 160 bytes, about 12 KiB of cache.
inline constexpr uint16_t bad_pair = 0x8000;
struct PairValueTable {
  uint16_t value[65536];
};
constexpr PairValueTable make_pair_value_table() {
  PairValueTable t{};
  for (auto &v : t.value) v = bad_pair;
  for (int a = 0; a < 64; ++a)
    for (int b = 0; b < 64; ++b)
      t.value[uint8_t(alphabet[a]) | uint8_t(alphabet[b]) << 8] = static_cast<uint16_t>(a << 6 | b);
  return t;
}
inline constexpr PairValueTable pair_value_table = make_pair_value_table();

// Length of the Base64 text of n bytes. Fits 32 bits for every n below 2^31.
constexpr uint32_t encoded_length(uint32_t n) { return 4u * ((n + 2u) / 3u); }

// The 8 bytes at p as a big-endian number: the first byte lands in the top bits whatever the
// host's byte order (compilers make this one load and a byte swap).
inline uint64_t load_be64(const uint8_t *p) {
  return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
         uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
}

// Writes encoded_length(n) characters to `out`.
inline void encode(const uint8_t *in, uint32_t n, uint8_t *out) {
  const auto &pair = pair_table.pair;
  // 12 bytes to 16 characters per step, as two 8-byte loads of which the top 6 bytes count:
  //   63      52 51     40 39     28 27     16 15             0
  //   [ 12 bits ][ 12 bits ][ 12 bits ][ 12 bits ][ next 2 bytes ]
  // The second load reads 2 bytes beyond the step, so steps stop 2 bytes short of the end.
  const uint32_t bulk = n >= 14 ? (n - 2) / 12 * 12 : 0;
  const uint8_t *end = in + bulk;
  for (; in != end; in += 12, out += 16) {
    uint64_t a = load_be64(in);
    uint64_t b = load_be64(in + 6);
    std::memcpy(out, pair[a >> 52], 2);
    std::memcpy(out + 2, pair[(a >> 40) & 0xFFF], 2);
    std::memcpy(out + 4, pair[(a >> 28) & 0xFFF], 2);
    std::memcpy(out + 6, pair[(a >> 16) & 0xFFF], 2);
    std::memcpy(out + 8, pair[b >> 52], 2);
    std::memcpy(out + 10, pair[(b >> 40) & 0xFFF], 2);
    std::memcpy(out + 12, pair[(b >> 28) & 0xFFF], 2);
    std::memcpy(out + 14, pair[(b >> 16) & 0xFFF], 2);
  }
  uint32_t rest = n - bulk;
  //   aaaaaaaa bbbbbbbb cccccccc -> [aaaaaaaabbbb][bbbbcccccccc]
  for (; rest >= 3; rest -= 3, in += 3, out += 4) {
    uint32_t a = uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
    std::memcpy(out, pair[a >> 12], 2);
    std::memcpy(out + 2, pair[a & 0xFFF], 2);
  }
  switch (rest) {
  case 1: // aaaaaa aa0000 = =
    out[0] = alphabet[in[0] >> 2];
    out[1] = alphabet[(in[0] & 0x03) << 4];
    out[2] = pad;
    out[3] = pad;
    break;
  case 2: // aaaaaa aabbbb bbbb00 =
    out[0] = alphabet[in[0] >> 2];
    out[1] = alphabet[(in[0] & 0x03) << 4 | in[1] >> 4];
    out[2] = alphabet[(in[1] & 0x0F) << 2];
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
    const auto &pv = pair_value_table.value;
    // Whole groups while they are valid and fit; the exact walk below takes over where not.
    uint32_t groups = n / 4 < out_size / 3 ? n / 4 : out_size / 3;
    const uint8_t *p = in;
    const uint8_t *last = in + size_t{4} * groups;
    uint8_t *o = out;
    for (; p != last; p += 4, o += 3) {
      uint32_t hi = pv[p[0] | p[1] << 8];
      uint32_t lo = pv[p[2] | p[3] << 8];
      if ((hi | lo) & bad_pair) break;
      //   aaaaaabbbbbb ccccccdddddd -> aaaaaabb bbbbcccc ccdddddd
      uint32_t x = hi << 12 | lo;
      o[0] = static_cast<uint8_t>(x >> 16);
      o[1] = static_cast<uint8_t>(x >> 8);
      o[2] = static_cast<uint8_t>(x);
    }
    i = static_cast<uint32_t>(p - in);
    k = static_cast<uint32_t>(o - out);
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
