// Builds the codec core without R: checks it against a plain byte-by-byte codec on random and
// malformed inputs, then times encode, decode and memcpy into buffers already touched, so that
// the figures show the loops alone, without allocation or page faults.
// Build and run: sh bench/codec_bench.sh
#include "../src/base64.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

unsigned overruns = 0; // bytes written past the end of an output buffer

// ---- the plain codec: one byte per step, straight from the rules ----
std::vector<uint8_t> plain_encode(const std::vector<uint8_t> &in) {
  std::vector<uint8_t> out;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    for (int s = 18; s >= 0; s -= 6) out.push_back(b64::alphabet[(v >> s) & 63]);
  }
  if (in.size() - i == 1) {
    out.push_back(b64::alphabet[in[i] >> 2]);
    out.push_back(b64::alphabet[(in[i] & 3) << 4]);
    out.push_back('=');
    out.push_back('=');
  } else if (in.size() - i == 2) {
    out.push_back(b64::alphabet[in[i] >> 2]);
    out.push_back(b64::alphabet[(in[i] & 3) << 4 | in[i + 1] >> 4]);
    out.push_back(b64::alphabet[(in[i + 1] & 15) << 2]);
    out.push_back('=');
  }
  return out;
}

int plain_value(uint8_t c) {
  for (int v = 0; v < 64; ++v)
    if (b64::alphabet[v] == c) return v;
  return -1;
}

// The result as the R routine returns it: decoded bytes, or the capacity with zeros after the
// complete bytes.
std::vector<uint8_t> plain_decode(const std::vector<uint8_t> &in) {
  size_t n = in.size(), capacity = 3 * (n / 4);
  std::vector<uint8_t> out(capacity, 0);
  if (n % 4 != 0) return out;
  size_t k = 0;
  uint32_t acc = 0;
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == '=') break;
    int v = plain_value(in[i]);
    if (v < 0) return out; // bytes from k on are still 0
    acc = acc << 6 | v;
    if (i % 4 == 1) out[k++] = acc >> 4 & 255;
    if (i % 4 == 2) out[k++] = acc >> 2 & 255;
    if (i % 4 == 3) out[k++] = acc & 255;
  }
  out.resize(k);
  return out;
}

// What the R glue does with the core: allocate at the guess, shorten or widen with one copy.
std::vector<uint8_t> core_decode(const std::vector<uint8_t> &in) {
  uint32_t n = static_cast<uint32_t>(in.size());
  uint32_t guess = b64::expected_length(in.data(), n);
  // Poison the buffer: stale bytes must never show through.
  std::vector<uint8_t> buf(guess + 64, 0xA5);
  b64::Decoded d = b64::decode(in.data(), n, buf.data(), guess);
  for (size_t i = guess; i < buf.size(); ++i)
    if (buf[i] != 0xA5) overruns++;
  if (d.length == guess) return std::vector<uint8_t>(buf.begin(), buf.begin() + guess);
  std::vector<uint8_t> exact(d.length, 0xA5);
  uint32_t keep = d.complete < d.length ? d.complete : d.length;
  std::copy(buf.begin(), buf.begin() + keep, exact.begin());
  std::fill(exact.begin() + keep, exact.end(), 0);
  return exact;
}

std::vector<uint8_t> core_encode(const std::vector<uint8_t> &in) {
  uint32_t n = static_cast<uint32_t>(in.size());
  std::vector<uint8_t> out(b64::encoded_length(n) + 64, 0xA5);
  b64::encode(in.data(), n, out.data());
  for (size_t i = b64::encoded_length(n); i < out.size(); ++i)
    if (out[i] != 0xA5) overruns++;
  out.resize(b64::encoded_length(n));
  return out;
}

int check(unsigned rounds) {
  std::mt19937 rng(12345);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  unsigned failures = 0;
  auto fail = [&](const char *what, const std::vector<uint8_t> &in) {
    if (++failures <= 10) std::fprintf(stderr, "mismatch (%s) on %zu bytes\n", what, in.size());
  };
  for (unsigned r = 0; r < rounds; ++r) {
    size_t n = r < 2000 ? r : rng() % (r % 16 == 0 ? 200000 : 3000);
    std::vector<uint8_t> data(n);
    for (auto &b : data) b = byte();
    std::vector<uint8_t> text = plain_encode(data);
    if (core_encode(data) != text) fail("encode", data);
    if (core_decode(text) != data) fail("decode", text);
    // Spoil the text: a random byte, "=" or a byte of 128-255 somewhere, or a cut length.
    std::vector<uint8_t> bad = text;
    int kind = rng() % 4;
    if (kind == 3 || bad.empty()) {
      bad.resize(bad.size() - (bad.empty() ? 0 : rng() % 4));
      bad.push_back(byte());
    } else {
      for (int m = 1 + rng() % 3; m > 0; --m) {
        uint8_t c = kind == 0 ? byte() : kind == 1 ? '=' : 128 | byte();
        bad[rng() % bad.size()] = c;
      }
    }
    if (core_decode(bad) != plain_decode(bad)) fail("malformed decode", bad);
  }
  std::printf("check: %u rounds, %u failures, %u bytes written out of bounds\n", rounds, failures,
              overruns);
  return failures == 0 && overruns == 0 ? 0 : 1;
}

// ---- timing ----
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class F> double rate(size_t bytes, F f) {
  size_t calls = bytes >= (1u << 24) ? 3 : (size_t(1) << 26) / bytes;
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    double t0 = now();
    for (size_t c = 0; c < calls; ++c) f();
    double t = (now() - t0) / calls;
    if (t < best) best = t;
  }
  return bytes / best / 1e6;
}

volatile uint8_t sink;

} // namespace

int main(int argc, char **argv) {
  unsigned rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (check(rounds) != 0) return 1;
  std::printf("%8s %12s %12s %12s   (MB/s of input, best of 5)\n", "size", "encode", "decode",
              "memcpy");
  for (size_t size : {size_t(64), size_t(4096), size_t(1) << 20, size_t(1) << 26}) {
    std::vector<uint8_t> data(size), text(b64::encoded_length(size)), out(size), dst(size);
    std::mt19937 rng(1);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    b64::encode(data.data(), size, text.data());
    // Decode text of `size` characters, as the R benchmark does.
    uint32_t tn = static_cast<uint32_t>(size);
    double enc = rate(size, [&] {
      b64::encode(data.data(), size, text.data());
      sink = text[size / 2];
    });
    double dec = rate(size, [&] {
      b64::decode(text.data(), tn, out.data(), b64::expected_length(text.data(), tn));
      sink = out[size / 2];
    });
    double cpy = rate(size, [&] {
      std::memcpy(dst.data(), data.data(), size);
      sink = dst[size / 2];
    });
    std::printf("%8zu %12.0f %12.0f %12.0f\n", size, enc, dec, cpy);
  }
  return 0;
}
