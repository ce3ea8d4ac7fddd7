# What limits the string and line variants: the steps of client's calls timed one by one, next to
# the best peer's whole call, with the heap kept (no page faults) and a fresh input per call, as
# in bench/base64.R. Microseconds per call, median of 11 batches.
#
# Usage: MALLOC_TRIM_THRESHOLD_=68719476736 MALLOC_TOP_PAD_=67108864 MALLOC_MMAP_MAX_=0 \
#          Rscript --vanilla bench/limits.R ./lib
lib <- commandArgs(TRUE)[[1L]]
suppressMessages(library(client, lib.loc = lib))
ns <- asNamespace("client")
encode <- get("kestrin_base64_encode", ns)
decode <- get("kestrin_base64_decode", ns)
now <- function() as.numeric(bench::hires_time())
set.seed(1)
random_bytes <- function(n) as.raw(sample.int(256L, n, replace = TRUE) - 1L)

# Microseconds per call of f over the inputs made by make(), median of 11 batches.
time_us <- function(f, pool) {
  f(pool[[1L]])
  times <- vapply(1:11, function(r) {
    gc(verbose = FALSE)
    t0 <- now()
    for (x in pool) f(x)
    (now() - t0) / length(pool)
  }, 0)
  stats::median(times) * 1e6
}

# One body, as the wrapper's fast path had it before the variants, under the two arguments of
# then and the six of now: R makes a promise for each default left out, on every call.
body <- quote({
  if (!is.raw(x) || length(x) > 2147483647) stop("x")
  if (!is.logical(raw) || length(raw) != 1L || is.na(raw)) stop("raw")
  text <- .Call(encode, x)
  if (raw) text else rawToChar(text)
})
two <- as.function(c(alist(x = , raw = FALSE), body))
six <- as.function(c(alist(x = , raw = FALSE, url = FALSE, pad = TRUE, line_width = NULL,
                           newline = "\n"), body))
two <- compiler::cmpfun(two)
six <- compiler::cmpfun(six)

row <- function(what, size, us) cat(sprintf("| %s | %s | %s |\n", what, size, format(round(us, 1), big.mark = ",")))
cat("| step | size | us per call |\n|---|---|---|\n")
small <- lapply(1:32768, function(i) random_bytes(64))
row("a body under (x, raw)", "64 B", time_us(function(x) two(x, raw = TRUE), small))
row("the same body under the six arguments", "64 B", time_us(function(x) six(x, raw = TRUE), small))
row("client: `base64_encode(x, raw = TRUE)`", "64 B", time_us(function(x) base64_encode(x, raw = TRUE), small))
for (size in c(4096, 2^20)) {
  label <- if (size == 4096) "4 KiB" else "1 MiB"
  calls <- 2^21 / size
  data <- lapply(seq_len(calls), function(i) random_bytes(size))
  texts <- lapply(data, function(x) .Call(encode, x))
  row("codec: `.Call` encode", label, time_us(function(x) .Call(encode, x), data))
  row("string of the text: `rawToChar()`", label, time_us(rawToChar, texts))
  row("string of the text: `readChar()`", label,
      time_us(function(t) readChar(t, length(t), useBytes = TRUE), texts))
  row("client: `base64_encode(x)`", label, time_us(function(x) base64_encode(x), data))
  row("base64enc: `base64encode(x)`", label, time_us(base64enc::base64encode, data))
  if (size == 4096) next
  chars <- length(texts[[1L]])
  nl <- charToRaw("\n")
  wrapped <- lapply(texts, function(t) ns$wrap(t, chars, 76L, nl))
  row("lines of 76: the matrix (`wrap()`)", label, time_us(function(t) ns$wrap(t, chars, 76L, nl), texts))
  wrapped_size <- ns$text_size(size, TRUE, 76L, nl)
  row("lines of 76: their string (`readChar()`)", label,
      time_us(function(t) readChar(t, wrapped_size, useBytes = TRUE), wrapped))
  row("client: `base64_encode(x, line_width = 76)`", label,
      time_us(function(x) base64_encode(x, line_width = 76), data))
  row("base64enc: `base64encode(x, 76)`", label, time_us(function(x) base64enc::base64encode(x, 76), data))
  strings <- lapply(data, base64_encode, line_width = 76)
  lines_raw <- lapply(strings, charToRaw)
  clean <- lapply(lines_raw, ns$without_line_ends)
  row("decoding lines: `charToRaw()`", label, time_us(charToRaw, strings))
  row("decoding lines: line ends dropped (`without_line_ends()`)", label,
      time_us(ns$without_line_ends, lines_raw))
  row("decoding lines: codec, `.Call` decode", label, time_us(function(t) .Call(decode, t), clean))
  row("client: `base64_decode(text)`", label, time_us(function(s) base64_decode(s), strings))
  row("jsonlite: `base64_dec(text)`", label, time_us(jsonlite::base64_dec, strings))
}
