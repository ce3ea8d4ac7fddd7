// What both fuzz targets check: the codec's decode contract for a given output size, and the
// result the R glue builds from it, against the reference decoder.
#ifndef CLIENT_FUZZ_HARNESS_H
#define CLIENT_FUZZ_HARNESS_H

#include "base64.h"
#include "reference.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace harness {

// Fresh vectors from R are not cleared: stand-in garbage, so that a byte left unwritten shows.
constexpr uint8_t garbage = 0xA5;

[[noreturn]] inline void fail(const char *what, const uint8_t *in, uint32_t n, uint32_t out_size) {
  // Best effort: the abort below is the report that counts.
  (void)std::fprintf(stderr,
                     "codec contract broken: %s (input of %u bytes, out_size %u)\ninput:", what, n,
                     out_size);
  for (uint32_t i = 0; i < n && i < 64; ++i) (void)std::fprintf(stderr, " %02x", in[i]);
  (void)std::fputs(n > 64 ? " ...\n" : "\n", stderr);
  std::abort();
}

// A heap block of exactly `size` bytes, so that AddressSanitizer flags the first byte past it.
inline std::unique_ptr<uint8_t[]> exact_block(uint32_t size) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
  if (size > 0) std::memset(block.get(), garbage, size);
  return block;
}

// Decodes `in` into exactly `out_size` bytes and checks the result against `expected`: the length
// is the reference's, `complete` lies within the output, and every byte written below
// min(length, out_size) is the reference's byte (decoded data, then zeros).
inline b64::Decoded check_decode(const uint8_t *in, uint32_t n, uint32_t out_size,
                                 const ref::Decoded &expected, std::unique_ptr<uint8_t[]> &out) {
  out = exact_block(out_size);
  b64::Decoded d = b64::decode(in, n, out.get(), out_size);
  const size_t length = expected.bytes.size();
  if (d.length != length) fail("result length differs from the reference decoder", in, n, out_size);
  if (d.complete > out_size) fail("`complete` lies beyond the output", in, n, out_size);
  const uint32_t end = d.length < out_size ? d.length : out_size;
  for (uint32_t j = 0; j < end; ++j) {
    if (out[j] != expected.bytes[j]) {
      fail(j < d.complete ? "a decoded byte differs from the reference decoder"
                          : "a byte past `complete` is not zero",
           in, n, out_size);
    }
  }
  return d;
}

// The R glue: allocate expected_length() bytes and decode into them; if the result length
// differs, build a vector of that length from the first min(complete, length) bytes and zeros.
inline std::vector<uint8_t> glue_decode(const uint8_t *in, uint32_t n,
                                        const ref::Decoded &expected) {
  const uint32_t guess = b64::expected_length(in, n);
  if (guess > b64::decoded_capacity(n)) fail("expected_length exceeds the capacity", in, n, guess);
  std::unique_ptr<uint8_t[]> out;
  b64::Decoded d = check_decode(in, n, guess, expected, out);
  if (d.length == guess) return std::vector<uint8_t>(out.get(), out.get() + guess);
  std::vector<uint8_t> exact(d.length, 0);
  uint32_t keep = d.complete < d.length ? d.complete : d.length;
  if (keep > 0) std::memcpy(exact.data(), out.get(), keep);
  return exact;
}

// Everything the decoder promises for one text: with the capacity as output size, with the
// glue's guess (and the glue's result), and with `other_size`, any size at all.
inline void check_text(const uint8_t *text, uint32_t n, uint32_t other_size) {
  // In a block of its own exact size, so that a read past the text is caught.
  std::unique_ptr<uint8_t[]> copy = exact_block(n);
  if (n > 0) std::memcpy(copy.get(), text, n);
  const uint8_t *in = copy.get();
  const ref::Decoded expected = ref::decode(in, n);
  const uint32_t capacity = b64::decoded_capacity(n);
  if (capacity != 3u * (n / 4u)) fail("decoded_capacity is not 3 * (n / 4)", in, n, capacity);
  std::unique_ptr<uint8_t[]> out;
  check_decode(in, n, capacity, expected, out);
  if (glue_decode(in, n, expected) != expected.bytes)
    fail("the glue's result differs from the reference decoder", in, n, capacity);
  check_decode(in, n, other_size, expected, out);
}

} // namespace harness

#endif
