// Plain reference codec for the fuzz targets: one character or one byte at a time, straight from
// the algorithm's description, sharing no table or code with src/base64.h.
#ifndef CLIENT_FUZZ_REFERENCE_H
#define CLIENT_FUZZ_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ref {

// Value of a Base64 character, or -1 for any other byte ("=" included).
inline int value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

inline uint8_t character(unsigned v) {
  const char *letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return static_cast<uint8_t>(letters[v & 63u]);
}

// The encoder as a three-state walk over the input bytes.
inline std::vector<uint8_t> encode(const uint8_t *in, size_t n) {
  std::vector<uint8_t> out;
  unsigned state = 0;
  uint8_t previous = 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = in[i];
    if (state == 0) {
      out.push_back(character(c >> 2));
    } else if (state == 1) {
      out.push_back(character(((previous & 0x03u) << 4) | (c >> 4)));
    } else {
      out.push_back(character(((previous & 0x0Fu) << 2) | (c >> 6)));
      out.push_back(character(c & 0x3Fu));
    }
    previous = c;
    state = (state + 1) % 3;
  }
  if (state == 1) {
    out.push_back(character((previous & 0x03u) << 4));
    out.push_back('=');
    out.push_back('=');
  } else if (state == 2) {
    out.push_back(character((previous & 0x0Fu) << 2));
    out.push_back('=');
  }
  return out;
}

struct Decoded {
  std::vector<uint8_t> bytes; // the whole result: decoded bytes, or capacity-length if malformed
  bool malformed;
};

// The decoder's walk. Text whose length is not a multiple of 4, or that holds a byte outside the
// alphabet before the first "=", yields 3 * (n / 4) bytes: those completely decoded before the
// stop, then zeros. Otherwise the walk ends at the first "=" or at the end, and the result is
// exactly the completely decoded bytes.
inline Decoded decode(const uint8_t *in, size_t n) {
  const size_t capacity = 3 * (n / 4);
  Decoded result{std::vector<uint8_t>(capacity, 0), false};
  if (n % 4 != 0) {
    result.malformed = true;
    return result;
  }
  std::vector<uint8_t> &out = result.bytes;
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == '=') break;
    int v = value(in[i]);
    if (v < 0) {
      // Every byte from the first not completely decoded one onwards is zero.
      for (size_t j = k; j < capacity; ++j) out[j] = 0;
      result.malformed = true;
      return result;
    }
    unsigned u = static_cast<unsigned>(v);
    switch (i % 4) {
    case 0:
      out[k] = static_cast<uint8_t>(u << 2);
      break;
    case 1:
      out[k] = static_cast<uint8_t>(out[k] | (u >> 4));
      ++k;
      out[k] = static_cast<uint8_t>((u << 4) & 0xFFu);
      break;
    case 2:
      out[k] = static_cast<uint8_t>(out[k] | (u >> 2));
      ++k;
      out[k] = static_cast<uint8_t>((u << 6) & 0xFFu);
      break;
    default:
      out[k] = static_cast<uint8_t>(out[k] | u);
      ++k;
      break;
    }
  }
  out.resize(k);
  return result;
}

} // namespace ref

#endif
