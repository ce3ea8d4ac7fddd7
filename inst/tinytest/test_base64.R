# ---- Base64: encoder, decoder, malformed text and the zero fill ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

# A plain encoder and decoder in R, independent of the package, to check it against.
ref_alphabet <- strsplit("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", "")[[1L]]

ref_encode <- function(x) {
  n <- length(x)
  if (n == 0L) return("")
  pad <- (3L - n %% 3L) %% 3L
  m <- matrix(c(as.integer(x), integer(pad)), nrow = 3L)
  v <- m[1L, ] * 65536L + m[2L, ] * 256L + m[3L, ]
  idx <- rbind(v %/% 262144L, v %/% 4096L %% 64L, v %/% 64L %% 64L, v %% 64L)
  chars <- ref_alphabet[as.vector(idx) + 1L]
  if (pad > 0L) chars[length(chars) - seq_len(pad) + 1L] <- "="
  paste(chars, collapse = "")
}

# Well-formed padded text only.
ref_decode <- function(text) {
  chars <- strsplit(text, "")[[1L]]
  if (!length(chars)) return(raw(0))
  pad <- sum(utils::tail(chars, 2L) == "=")
  v <- match(chars, ref_alphabet) - 1L
  v[is.na(v)] <- 0L
  m <- matrix(v, nrow = 4L)
  w <- m[1L, ] * 262144L + m[2L, ] * 4096L + m[3L, ] * 64L + m[4L, ]
  bytes <- as.vector(rbind(w %/% 65536L, w %/% 256L %% 256L, w %% 256L))
  as.raw(bytes[seq_len(length(bytes) - pad)])
}

# The same on every machine: no other codec is consulted.
independent_decode <- ref_decode

set.seed(20261208)
random_bytes <- function(n) as.raw(sample.int(256L, n, replace = TRUE) - 1L)
decode_native <- function(x) base64_decode(x, strict = FALSE)
bytes <- function(...) as.raw(c(...))

# ---- known texts: the basic examples and RFC 4648, section 10 ----
vectors <- list(
  c("", ""), c("A", "QQ=="), c("AA", "QUE="), c("AAA", "QUFB"),
  c("f", "Zg=="), c("fo", "Zm8="), c("foo", "Zm9v"), c("foob", "Zm9vYg=="),
  c("fooba", "Zm9vYmE="), c("foobar", "Zm9vYmFy")
)
for (v in vectors) {
  expect_identical(base64_encode(charToRaw(v[1])), v[2], info = v[1])
  expect_identical(base64_encode(charToRaw(v[1]), raw = TRUE), charToRaw(v[2]), info = v[1])
  expect_identical(base64_encode(v[1]), v[2], info = v[1])
  expect_identical(base64_decode(charToRaw(v[2])), charToRaw(v[1]), info = v[2])
  expect_identical(base64_decode(v[2]), charToRaw(v[1]), info = v[2])
}
expect_identical(base64_encode(raw(0), raw = TRUE), raw(0))
expect_identical(base64_decode(raw(0)), raw(0))

# ---- all 256 byte values ----
all_bytes_text <- paste0(
  "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNE",
  "RUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJ",
  "iouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3O",
  "z9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w=="
)
expect_identical(nchar(all_bytes_text), 344L)
expect_identical(ref_encode(as.raw(0:255)), all_bytes_text)
expect_identical(base64_encode(as.raw(0:255)), all_bytes_text)
expect_identical(base64_decode(all_bytes_text), as.raw(0:255))
# Every byte value at every position within a group, in both directions.
for (offset in 0:2) {
  x <- as.raw((0:255 + offset) %% 256L)
  text <- base64_encode(x)
  expect_identical(text, ref_encode(x), info = offset)
  expect_identical(base64_decode(text), x, info = offset)
  y <- c(raw(offset), as.raw(0:255))
  expect_identical(base64_decode(base64_encode(y)), y, info = offset)
}

# ---- round trips, every length 0-300 and some large ones ----
# Multiples of 8 too (6144 bytes encode to 8192 characters): R rounds allocations up to 8
# bytes, so only at such lengths does an overrun of a few bytes reach a sanitizer.
for (n in c(0:300, 4095:4097, 6144L, 65536 + 0:2, 1e6 + 0:2)) {
  x <- random_bytes(n)
  text <- base64_encode(x)
  expect_identical(nchar(text), as.integer(4 * ((n + 2) %/% 3)), info = n)
  expect_identical(text, ref_encode(x), info = n)
  expect_identical(independent_decode(text), x, info = n)
  expect_identical(base64_decode(text), x, info = n)
  expect_identical(base64_decode(charToRaw(text), strict = FALSE), x, info = n)
}

# ---- the walk stops at the first "=" and looks no further ----
stops <- list(
  list("====", raw(0)), list("Q===", raw(0)), list("QQ==", bytes(0x41)),
  list("QQ==QUFB", bytes(0x41)), list("QQ==!!!!", bytes(0x41)),
  list("QQ=A", bytes(0x41)), list("QUE=QUFB", bytes(0x41, 0x41)),
  list("QUFB====", bytes(0x41, 0x41, 0x41)), list("QUFBQ===", bytes(0x41, 0x41, 0x41)),
  # The pad bits of the character before "=" are dropped, not checked.
  list("QR==", bytes(0x41)), list("QUF=", bytes(0x41, 0x41))
)
for (s in stops) expect_identical(decode_native(s[[1]]), s[[2]], info = s[[1]])
# Every position of the first "=" in a long text.
x <- random_bytes(3000)
text <- charToRaw(base64_encode(x))
for (i in c(1:12, 2001:2004, 3997:4000)) {
  t <- text
  t[i] <- charToRaw("=")
  complete <- 3L * ((i - 1L) %/% 4L) + c(0L, 0L, 1L, 2L)[(i - 1L) %% 4L + 1L]
  expect_identical(decode_native(t), x[seq_len(complete)], info = i)
}

# ---- malformed text: capacity-length results, zero from the first undecoded byte ----
# A length of 1 modulo 4: nothing is decoded. 2 or 3 modulo 4 without "=": unpadded text, its
# padding supplied, so the bytes it holds whole.
expect_identical(decode_native("Q"), raw(0))
expect_identical(decode_native("QUFBQ"), raw(3))
expect_identical(decode_native("QUF"), bytes(0x41, 0x41))
expect_identical(decode_native("QU=B="), raw(3)) # an "=" in it: the routine's answer as it is
for (n in c(1:3, 5:7, 4097L, 1e6 + 1:3)) {
  junk <- stats::runif(1e6) # leave used memory behind for the next allocation
  rm(junk)
  x <- random_bytes(n)
  text <- charToRaw(substr(base64_encode(x), 1L, n))
  whole <- if (n %% 4L == 1L) raw(3L * (n %/% 4L)) else x[seq_len((3L * n) %/% 4L)]
  expect_identical(decode_native(text), whole, info = n)
}
# An invalid byte stops the walk; the partly filled byte at the stop is 0 too.
expect_identical(decode_native("QU!B"), bytes(0x41, 0, 0))
expect_identical(decode_native("QUFB!QUF"), bytes(0x41, 0x41, 0x41, 0, 0, 0))
for (n in c(30L, 3001L, 1e6)) {
  x <- random_bytes(n)
  text <- charToRaw(base64_encode(x))
  last <- sum(text != charToRaw("=")) # the stop must come before the padding
  positions <- unique(c(1:8, last - 7:0, last %/% 2L + 0:3))
  for (i in positions) {
    t <- text
    t[i] <- charToRaw("!")
    complete <- 3L * ((i - 1L) %/% 4L) + c(0L, 0L, 1L, 2L)[(i - 1L) %% 4L + 1L]
    expected <- c(x[seq_len(complete)], raw(3L * length(text) %/% 4L - complete))
    expect_identical(decode_native(t), expected, info = sprintf("n = %d, i = %d", n, i))
  }
}
# Every byte value at each position of a group: the alphabet decodes, "=" stops, white space
# drops out, the rest (bytes 128-255 among them, however their low bits look) stops with the
# capacity length.
alphabet_raw <- charToRaw(paste(ref_alphabet, collapse = ""))
for (pos in 0:3) {
  complete <- 6L + c(0L, 0L, 1L, 2L)[pos + 1L]
  for (b in 0:255) {
    text <- charToRaw("QUFBQUFBQUFBQUFB")
    text[9L + pos] <- as.raw(b)
    got <- decode_native(text)
    info <- sprintf("byte %d at position %d", b, pos)
    if (as.raw(b) %in% alphabet_raw) {
      expect_identical(got, ref_decode(rawToChar(text)), info = info)
    } else if (b == 61L) {
      expect_identical(got, charToRaw(strrep("A", complete)), info = info)
    } else if (b %in% c(9:13, 32L)) {
      expect_identical(got, ref_decode(paste0(rawToChar(text[-(9L + pos)]), "=")), info = info)
    } else {
      expect_identical(got, c(charToRaw(strrep("A", complete)), raw(12L - complete)), info = info)
    }
  }
}
# Bytes 128-255 alone, and in place of each character of a long text.
for (b in 128:255) {
  expect_identical(decode_native(as.raw(rep(b, 4L))), raw(3), info = b)
}
x <- random_bytes(3 * 256)
text <- charToRaw(base64_encode(x))
for (b in 128:255) {
  i <- 4L * (b - 128L) + b %% 4L + 1L
  t <- text
  t[i] <- as.raw(b)
  complete <- 3L * ((i - 1L) %/% 4L) + c(0L, 0L, 1L, 2L)[(i - 1L) %% 4L + 1L]
  expect_identical(decode_native(t), c(x[seq_len(complete)], raw(length(x) - complete)), info = b)
}

# ---- the strict wrapper names what is wrong ----
malformed_texts <- list(
  c("QUF", "its last character, 'F' at position 3, has bits set past the last byte"),
  c("QUFBQ", "its length is 5, 1 more than a multiple of 4"),
  c("QU!B", "byte 0x21 at position 3 is not in the Base64 alphabet"),
  c("QUFB\x01QUF", "byte 0x01 at position 5 is not in the Base64 alphabet"),
  c("QQ==QUFB", "misplaced padding at position 3"),
  c("====", "misplaced padding at position 1"),
  c("QUFBAAAA!AAA", "byte 0x21 at position 9 is not in the Base64 alphabet")
)
for (m in malformed_texts) {
  expect_error(base64_decode(m[1]), pattern = m[2], fixed = TRUE, info = m[1])
}
expect_error(base64_decode(as.raw(c(0x51, 0x55, 0xC6, 0x42))),
             pattern = "byte 0xc6 at position 3", fixed = TRUE)
# A well-formed text whose bytes end in zeros is not mistaken for a stopped walk.
expect_identical(base64_decode(base64_encode(raw(3000))), raw(3000))
x <- c(random_bytes(3000), raw(30))
expect_identical(base64_decode(base64_encode(x)), x)

# ---- no missing protection: gctorture in a child R ----
res <- run_child({
  gctorture(TRUE)
  out <- list(
    base64_encode(as.raw(1:5), raw = TRUE),
    base64_decode("QUFBQQ==", strict = FALSE),
    base64_decode("QUFB====", strict = FALSE), # a wrong length guess: the shortening copy
    base64_decode("QU!BQQ==", strict = FALSE), # a wrong guess the other way: zero fill
    base64_decode("QUFBQ", strict = FALSE)
  )
  gctorture(FALSE)
  result(out)
}, timeout = 120)
expect_identical(res$status, 0L)
expect_identical(res$result, list(
  charToRaw("AQIDBAU="), charToRaw("AAAA"), charToRaw("AAA"), bytes(0x41, 0, 0, 0, 0, 0), raw(3)
))

check_leaks()
