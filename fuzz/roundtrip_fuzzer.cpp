// Fuzz target for encode-then-decode: the encoder's text equals the reference encoder's, the glue's
// guess of its decoded length is exact, and decoding gives back the input byte for byte.
#include "harness.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 24)) return -1;
  const auto n = static_cast<uint32_t>(size);
  // The input in a block of its own exact size, so that a read past it is caught.
  std::unique_ptr<uint8_t[]> in = harness::exact_block(n);
  if (n > 0) std::memcpy(in.get(), data, n);

  const uint32_t length = b64::encoded_length(n);
  if (length != 4u * ((n + 2u) / 3u)) harness::fail("encoded_length is wrong", in.get(), n, length);
  std::unique_ptr<uint8_t[]> text = harness::exact_block(length);
  b64::encode(in.get(), n, text.get());
  const std::vector<uint8_t> expected_text = ref::encode(in.get(), n);
  if (length > 0 && std::memcmp(text.get(), expected_text.data(), length) != 0)
    harness::fail("the text differs from the reference encoder's", in.get(), n, length);

  if (b64::expected_length(text.get(), length) != n)
    harness::fail("expected_length of encoder output is not the input length", in.get(), n, length);
  const ref::Decoded bytes{std::vector<uint8_t>(in.get(), in.get() + n), false};
  if (harness::glue_decode(text.get(), length, bytes) != bytes.bytes)
    harness::fail("the glue does not decode the text back to the input", in.get(), n, length);
  std::unique_ptr<uint8_t[]> out;
  b64::Decoded d =
      harness::check_decode(text.get(), length, b64::decoded_capacity(length), bytes, out);
  if (d.complete != n)
    harness::fail("decoding stopped short of the input length", in.get(), n, length);
  return 0;
}
