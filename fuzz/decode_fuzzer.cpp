// Fuzz target for the decoder: arbitrary bytes as Base64 text, plus well-formed text made from the
// same bytes and a copy of it with one byte changed, each checked against the reference decoder
// with the capacity, the R glue's guess and one more output size.
#include "harness.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 24)) return -1;
  const auto n = static_cast<uint32_t>(size);
  // Any output size, from the bytes themselves: 0 up to the capacity and a little past it.
  const uint32_t other_size = n == 0 ? 0 : (data[0] * 7u + n) % (b64::decoded_capacity(n) + 4u);

  // The input as it is: mostly malformed text, of every length.
  harness::check_text(data, n, other_size);

  // Well-formed text, long enough for the decoder's fast path, then the same with one byte
  // replaced anywhere: by an invalid byte, an early "=", or a character in place of the padding.
  std::vector<uint8_t> good = ref::encode(data, size);
  harness::check_text(good.data(), static_cast<uint32_t>(good.size()), other_size);
  if (!good.empty() && n >= 2) {
    good[(data[1] * 131u + n) % good.size()] = data[n - 1];
    harness::check_text(good.data(), static_cast<uint32_t>(good.size()), other_size);
  }
  return 0;
}
