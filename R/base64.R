# ---- Base64 ----
# The common calls (a raw vector, a plain flag) take a path of primitives only: at small sizes
# the wrapper, not the codec, sets the cost of a call.

base64_encode <- function(x, raw = FALSE) {
  if (!is.raw(x) || length(x) > 2147483647) x <- check_bytes(x, "x")
  if (!is.logical(raw) || length(raw) != 1L || is.na(raw)) check_flag(raw, "raw")
  text <- .Call(kestrin_base64_encode, x)
  if (raw) text else rawToChar(text)
}

base64_decode <- function(x, strict = TRUE) {
  if (!is.raw(x) || length(x) > 2147483647) x <- check_bytes(x, "x")
  if (!is.logical(strict) || length(strict) != 1L || is.na(strict)) check_flag(strict, "strict")
  out <- .Call(kestrin_base64_decode, x)
  if (!strict) return(out)
  # Decoded lengths tell well-formed text apart without reading it: one "=" leaves 3n/4 - 1
  # bytes, which nothing else can; two leave 3n/4 - 2, as does text going on after "==";
  # no padding leaves 3n/4, as does a stop at an invalid byte, but that zeroes the last byte.
  # Anything else is left to malformed(), which may still find the text sound.
  n <- length(x)
  m <- length(out)
  full <- n %/% 4L * 3L
  if (m == full - 1L || n == 0L || m == full && m > 0L && out[m] != zero_byte ||
      m == full - 2L && x[n] == pad_byte) {
    return(out)
  }
  problem <- malformed(x, out)
  if (!is.null(problem)) fail("`x` is not well-formed Base64: %s", problem)
  out
}

# ---- telling malformed text from well-formed text ----
# The decoder answers malformed text with a result of the capacity length 3 * n / 4, its
# undecoded bytes zero. Checks here look only at lengths and at the end of the result, so
# well-formed text costs no second pass.

pad_byte <- as.raw(61L)
zero_byte <- as.raw(0L)
alphabet_bytes <- charToRaw(
  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
)
is_alphabet <- local({
  valid <- logical(256L)
  valid[as.integer(alphabet_bytes) + 1L] <- TRUE
  valid
})

# Length of the run of zero bytes at the end of `x`, in time proportional to that run.
trailing_zeros <- function(x) {
  len <- length(x)
  m <- 1L
  while (m < len && all(x[(len - m + 1L):len] == zero_byte)) m <- min(2L * m, len)
  tail <- x[(len - m + 1L):len]
  nonzero <- which(tail != zero_byte)
  if (length(nonzero)) m - max(nonzero) else len
}

# Why `text` is malformed, or NULL when `out` is its faithful decoding after all. Called only
# when base64_decode()'s look at the lengths did not settle it; the one well-formed case left
# then is unpadded text whose decoding ends in zero bytes.
malformed <- function(text, out) {
  n <- length(text)
  if (n %% 4L != 0L) return(sprintf("its length %d is not a multiple of 4", n))
  capacity <- n %/% 4L * 3L
  if (length(out) == capacity && text[n] != pad_byte) {
    # A byte outside the alphabet would have cut the walk short and zeroed everything from the
    # stop on, so only the text behind the trailing zeros can hide one.
    first_group <- max(0L, (capacity - trailing_zeros(out)) %/% 3L - 1L)
    if (all(is_alphabet[as.integer(text[(4L * first_group + 1L):n]) + 1L])) return(NULL)
  }
  # Malformed: the error path can afford to find where.
  bad <- which(!is_alphabet[as.integer(text) + 1L])[1L]
  if (text[bad] != pad_byte) {
    return(sprintf("byte 0x%s at position %d is not in the Base64 alphabet", text[bad], bad))
  }
  sprintf("misplaced padding at position %d", bad)
}
