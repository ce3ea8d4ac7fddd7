// R glue for the Base64 codec: raw vector in, raw vector out, no errors of its own.
#include "errors.h"

#include "base64.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>

namespace {
// A large result is written once, front to back, into pages it has never touched: ask for
// huge pages so that it takes a fault per 2 MiB rather than per 4 KiB. Only advice; where the
// system has no such thing this does nothing.
void prefer_huge_pages(void *p, size_t size) {
#ifdef MADV_HUGEPAGE
  const size_t huge = size_t(1) << 21;
  if (size < 4 * huge) return;
  size_t lead = (huge - reinterpret_cast<uintptr_t>(p) % huge) % huge;
  madvise(static_cast<char *>(p) + lead, (size - lead) & ~(huge - 1), MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}
} // namespace

// x: raw vector. Returns its Base64 text, padded, as a raw vector. LENGTH() refuses long
// vectors, so n < 2^31 and every length below fits 32 unsigned bits.
extern "C" attribute_visible SEXP kestrin_base64_encode(SEXP x) {
  uint32_t n = static_cast<uint32_t>(LENGTH(x));
  SEXP out = Rf_protect(Rf_allocVector(RAWSXP, static_cast<R_xlen_t>(b64::encoded_length(n))));
  prefer_huge_pages(RAW(out), static_cast<size_t>(XLENGTH(out)));
  b64::encode(RAW(x), n, RAW(out));
  Rf_unprotect(1);
  return out;
}

// x: raw vector of Base64 text. Returns the decoded bytes; for malformed text a vector of the
// capacity length 3 * floor(n / 4) whose undecoded bytes are 0.
extern "C" attribute_visible SEXP kestrin_base64_decode(SEXP x) {
  uint32_t n = static_cast<uint32_t>(LENGTH(x));
  const Rbyte *in = RAW(x);
  // Allocate at the length well-formed text decodes to; only a wrong guess costs a copy.
  uint32_t guess = b64::expected_length(in, n);
  SEXP out = Rf_protect(Rf_allocVector(RAWSXP, static_cast<R_xlen_t>(guess)));
  prefer_huge_pages(RAW(out), guess);
  b64::Decoded d = b64::decode(in, n, RAW(out), guess);
  if (d.length == guess) {
    Rf_unprotect(1);
    return out;
  }
  SEXP exact = Rf_protect(Rf_allocVector(RAWSXP, static_cast<R_xlen_t>(d.length)));
  uint32_t keep = d.complete < d.length ? d.complete : d.length;
  if (keep > 0) std::memcpy(RAW(exact), RAW(out), keep);
  if (d.length > keep) std::memset(RAW(exact) + keep, 0, d.length - keep);
  Rf_unprotect(2);
  return exact;
}
