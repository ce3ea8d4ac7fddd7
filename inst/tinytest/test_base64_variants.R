# ---- Base64 variants: URL-safe, unpadded, lines, white space, canonical text, vectors, pieces ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

set.seed(20261209)
random_bytes <- function(n) as.raw(sample.int(256L, n, replace = TRUE) - 1L)
strip <- function(text) gsub("[\t\n\v\f\r ]", "", text)
decode_or_error <- function(...) tryCatch(base64_decode(...), error = conditionMessage)
lengths <- c(0:80, 100:103, 1000:1002, 4095:4097)
samples <- lapply(lengths, random_bytes)

# ---- against Python's base64 module ----
python <- Sys.which("python3")
if (nzchar(python)) {
  input <- tempfile()
  output <- tempfile()
  script <- tempfile(fileext = ".py")
  writeLines(vapply(samples, function(x) paste(format(x), collapse = ""), ""), input)
  writeLines(c(
    "import base64, sys",
    "rows = []",
    "for line in open(sys.argv[1]):",
    "    data = bytes.fromhex(line.strip())",
    "    std = base64.b64encode(data).decode()",
    "    url = base64.urlsafe_b64encode(data).decode()",
    "    crlf = '\\r\\n'.join(std[i:i + 64] for i in range(0, len(std), 64))",
    # encodebytes() ends every line of 76 characters, the last one too, with a newline.
    "    mime = base64.encodebytes(data).decode()",
    # Line ends as "|" and ".", so that each row stays on one line of the file.
    "    rows.append('\\t'.join([std, url, url.rstrip('='), crlf.replace('\\r\\n', '|'),",
    "                            mime.replace('\\n', '.'), 'end']))",
    "open(sys.argv[2], 'w', newline='').write('\\n'.join(rows) + '\\n')"
  ), script)
  status <- system2(python, c(shQuote(script), shQuote(input), shQuote(output)))
  expect_identical(status, 0L)
  rows <- strsplit(readLines(output), "\t", fixed = TRUE)
  unlink(c(input, output, script))
  expect_identical(length(rows), length(samples))
  got <- list(std = character(), url = character(), bare = character(), crlf = character(),
              mime = character(), back = logical())
  want <- got
  for (i in seq_along(samples)) {
    x <- samples[[i]]
    py <- rows[[i]]
    py[4L] <- gsub("|", "\r\n", py[4L], fixed = TRUE)
    py[5L] <- gsub(".", "\n", py[5L], fixed = TRUE)
    mime <- gsub("\n$", "", py[5L])
    got$std[i] <- base64_encode(x)
    got$url[i] <- base64_encode(x, url = TRUE)
    got$bare[i] <- base64_encode(x, url = TRUE, pad = FALSE)
    got$crlf[i] <- base64_encode(x, line_width = 64, newline = "\r\n")
    got$mime[i] <- rawToChar(base64_encode(x, raw = TRUE, line_width = 76))
    # Python's texts decode back to the bytes, the MIME text with its final newline.
    got$back[i] <- identical(base64_decode(py[1L]), x) && identical(base64_decode(py[4L]), x) &&
      identical(base64_decode(py[2L], url = TRUE), x) &&
      identical(base64_decode(py[3L], url = TRUE), x) && identical(base64_decode(py[5L]), x) &&
      identical(base64_decode(charToRaw(py[5L])), x) &&
      identical(base64_decode(py[3L], url = TRUE, strict = FALSE), x)
    want$std[i] <- py[1L]
    want$url[i] <- py[2L]
    want$bare[i] <- py[3L]
    want$crlf[i] <- py[4L]
    want$mime[i] <- mime
    want$back[i] <- TRUE
  }
  for (form in names(got)) {
    expect_identical(lengths[got[[form]] != want[[form]]], integer(0), info = form)
  }
} else {
  # Everything else in this file still runs.
  message("python3 not found: the comparison with Python's base64 module is skipped")
}

# ---- every variant round-trips, and lines have the width asked for ----
forms <- expand.grid(url = c(FALSE, TRUE), pad = c(FALSE, TRUE), width = c(0L, 4L, 8L, 76L),
                     newline = c("\n", "\r\n"), stringsAsFactors = FALSE)
forms <- forms[forms$width > 0L | forms$newline == "\n", ]
for (f in seq_len(nrow(forms))) {
  form <- forms[f, ]
  width <- if (form$width > 0L) form$width
  bad <- character()
  for (x in samples) {
    text <- base64_encode(x, url = form$url, pad = form$pad, line_width = width, newline = form$newline)
    raw_text <- base64_encode(x, raw = TRUE, url = form$url, pad = form$pad, line_width = width,
                              newline = form$newline)
    lines <- strsplit(text, form$newline, fixed = TRUE)[[1L]]
    flat <- paste(lines, collapse = "")
    ok <- identical(charToRaw(text), raw_text) && identical(base64_decode(text, url = form$url), x) &&
      identical(base64_decode(raw_text, url = form$url), x) &&
      !grepl(if (form$url) "[+/]" else "[-_]", text) &&
      grepl("=", text) == (form$pad && length(x) %% 3L != 0L) &&
      (is.null(width) || all(nchar(lines[-length(lines)]) == width) &&
         nchar(lines[length(lines)]) %in% seq_len(width)) &&
      identical(flat, base64_encode(x, url = form$url, pad = form$pad))
    if (length(x) && !isTRUE(ok)) bad <- c(bad, sprintf("%d bytes", length(x)))
  }
  expect_identical(bad, character(0), info = paste(names(form), form, collapse = " "))
}

# ---- canonical text: strict mode accepts exactly what re-encodes to itself ----
# Canonical text, by pattern: whole groups, then an end of 2 characters whose value keeps its low
# 4 bits clear, or of 3 whose last keeps its low 2 bits clear, padded or not.
canonical_pattern <- function(url) {
  b <- if (url) "[A-Za-z0-9_-]" else "[A-Za-z0-9+/]"
  sprintf("^(%s{4})*(%s[AQgw](==)?|%s%s[AEIMQUYcgkosw048]=?)?$", b, b, b, b)
}
check_canonical <- function(texts, url) {
  accepted <- vapply(texts, function(t) is.raw(decode_or_error(t, url = url)), NA)
  expect_identical(texts[accepted != grepl(canonical_pattern(url), strip(texts))], character(0),
                   info = sprintf("accepted exactly the canonical texts, url = %s", url))
  # Each accepted text, encoded again as it is written (padded or not), without its white space.
  again <- vapply(texts[accepted], function(t) {
    pad <- grepl("=", t) || nchar(strip(t)) %% 4L == 0L
    base64_encode(base64_decode(t, url = url), url = url, pad = pad)
  }, "")
  expect_identical(unname(again), strip(texts[accepted]), info = sprintf("re-encoded, url = %s", url))
}
pool <- c(strsplit("ABQRSgwAEFe48+/-_", "")[[1L]], "=", "=", " ", "\n", "!", "\x01")
random_texts <- vapply(1:3000, function(i) {
  paste(sample(pool, sample(0:10, 1L), replace = TRUE), collapse = "")
}, "")
for (url in c(FALSE, TRUE)) check_canonical(unique(random_texts), url)

# Mutations of canonical texts: a character replaced, dropped, added or repeated.
replacements <- c(strsplit("AQRgh9+/-_", "")[[1L]], "=", " ", "\t", ".", "\x7f", "\x01")
mutate <- function(text) {
  chars <- strsplit(text, "")[[1L]]
  n <- length(chars)
  at <- sample.int(n + 1L, 1L)
  switch(sample.int(4L, 1L),
    { if (at <= n) chars[at] <- sample(replacements, 1L) },
    { if (at <= n) chars <- chars[-at] },
    { chars <- append(chars, sample(replacements, 1L), at - 1L) },
    { chars <- c(chars, "=") })
  paste(chars, collapse = "")
}
for (url in c(FALSE, TRUE)) {
  base <- vapply(samples[lengths <= 20], base64_encode, "", url = url, pad = sample(c(TRUE, FALSE), 1L))
  mutated <- unique(vapply(rep(base, 25L), mutate, ""))
  check_canonical(mutated, url)
  # The lenient answer on a text is the routine's on that text without its white space.
  lenient <- lapply(mutated, base64_decode, strict = FALSE, url = url)
  without <- lapply(strip(mutated), base64_decode, strict = FALSE, url = url)
  expect_identical(lenient, without, info = sprintf("lenient, url = %s", url))
}

# ---- white space anywhere, in both modes ----
x <- random_bytes(40)
text <- base64_encode(x, pad = TRUE)
chars <- strsplit(text, "")[[1L]]
spaces <- c(" ", "\t", "\n", "\r", "\f", "\v", "\r\n", "\n\n  ")
bad <- character()
for (space in spaces) {
  for (at in 0:length(chars)) {
    spaced <- paste(append(chars, space, at), collapse = "")
    if (!identical(base64_decode(spaced), x) || !identical(base64_decode(spaced, strict = FALSE), x) ||
        !identical(base64_decode(charToRaw(spaced)), x) ||
        !identical(base64_decode(chartr("+/", "-_", spaced), url = TRUE), x)) {
      bad <- c(bad, encodeString(spaced))
    }
  }
}
expect_identical(bad, character(0))
crlf <- base64_encode(x, line_width = 8, newline = "\r\n")
expect_identical(base64_decode(paste0(crlf, "\r\n")), x)
expect_identical(base64_decode(gsub("", " ", text)), x) # a space between every two characters
expect_identical(base64_decode(" \n\t "), raw(0))
expect_identical(base64_decode("QUFB\nQUFB\n"), charToRaw("AAAAAA"))
expect_identical(base64_decode("QUFB\nQUFB\n", strict = FALSE), charToRaw("AAAAAA"))

# Lines as encoders write them lose their line ends by position, a piece of whole lines at a
# time; any other layout is left to the removal of all white space. Small steps put many piece
# boundaries into short texts.
ns <- asNamespace("client")
y <- random_bytes(1000)
layouts <- expand.grid(width = c(4L, 8L, 76L), newline = c("\n", "\r\n"), trailing = c(FALSE, TRUE),
                       step = c(1, 50, 2^18), stringsAsFactors = FALSE)
bad <- character()
for (i in seq_len(nrow(layouts))) {
  l <- layouts[i, ]
  text <- charToRaw(paste0(base64_encode(y, line_width = l$width, newline = l$newline),
                           if (l$trailing) l$newline))
  got <- ns$without_line_ends(text, step = l$step)
  if (!identical(got, base64_encode(y, raw = TRUE)) || !identical(base64_decode(text), y)) {
    bad <- c(bad, paste(l, collapse = " "))
  }
}
expect_identical(bad, character(0))
irregular <- c("QUFB\nQUFBQUFB", "QUFB\r\nQUFB\nQUFB", "QUFB\nQUFB\r\nQUFB", "\nQUFB", "QUFB\nQU\nFB",
               "QUFB\r\nQUFBQ", "QUFB\n\nQUFB")
for (t in irregular) {
  expect_null(ns$without_line_ends(charToRaw(t)), info = encodeString(t))
  # The same bytes, or an error for both (whose message counts the white space).
  expect_identical(is.raw(decode_or_error(t)), is.raw(decode_or_error(gsub("[\r\n]", "", t))),
                   info = encodeString(t))
  expect_identical(base64_decode(t, strict = FALSE), base64_decode(gsub("[\r\n]", "", t), strict = FALSE),
                   info = encodeString(t))
}
# Long text whose first line ends early skips the one-line attempt; text in lines longer than
# 4 KiB is not taken for lines, and still decodes.
big <- random_bytes(2^20)
for (text in list(base64_encode(big, line_width = 76), base64_encode(big, line_width = 8192),
                  paste0("\n", base64_encode(big)))) {
  expect_identical(base64_decode(text), big)
  expect_identical(base64_decode(charToRaw(text), strict = FALSE), big)
}

# ---- what strict mode says is wrong, and where (positions count white space too) ----
errors <- list(
  list("QR==", FALSE, "its last character, 'R' at position 2, has bits set past the last byte"),
  list("QUF", FALSE, "its last character, 'F' at position 3, has bits set past the last byte"),
  list("QUFB QR", FALSE, "its last character, 'R' at position 7, has bits set past the last byte"),
  list("QUFBQ", FALSE, "its length is 5, 1 more than a multiple of 4"),
  list("QUFB\nQ", FALSE, "its length, not counting white space, is 5, 1 more than a multiple of 4"),
  list("QQ=", FALSE, "incomplete padding at position 3"),
  list("QQ = ", FALSE, "incomplete padding at position 4"),
  list("QUFB=", FALSE, "misplaced padding at position 5"),
  list("QQ===", FALSE, "misplaced padding at position 3"),
  list("QQ=A", FALSE, "misplaced padding at position 3"),
  list("QQ==A", FALSE, "misplaced padding at position 3"),
  list("QQ==\nQQ==", FALSE, "misplaced padding at position 3"),
  list("QU\n!B", FALSE, "byte 0x21 at position 4 is not in the Base64 alphabet"),
  list("QU-B", FALSE, "byte 0x2d at position 3 is not in the Base64 alphabet; it belongs to the URL-safe alphabet"),
  list("QU_B", FALSE, "byte 0x5f at position 3 is not in the Base64 alphabet; it belongs to the URL-safe"),
  list("QU+B", TRUE, "byte 0x2b at position 3 is not in the URL-safe Base64 alphabet; it belongs to the standard"),
  list("QU/B", TRUE, "byte 0x2f at position 3 is not in the URL-safe Base64 alphabet"),
  list("QR", TRUE, "its last character, 'R' at position 2"),
  list("QUFB\x01", FALSE, "byte 0x01 at position 5 is not in the Base64 alphabet"),
  list(as.raw(c(0x51, 0x51, 0, 0x3d)), FALSE, "byte 0x00 at position 3 is not in the Base64 alphabet")
)
for (e in errors) {
  expect_error(base64_decode(e[[1L]], url = e[[2L]]), pattern = e[[3L]], fixed = TRUE,
               info = encodeString(format(e[[1L]])))
}
err <- tryCatch(base64_decode("QR==", url = FALSE), error = identity)
expect_identical(deparse(conditionCall(err)), 'base64_decode("QR==", url = FALSE)')

# ---- character vectors ----
named <- c(a = "f", b = NA, c = "", d = "fooba")
expect_identical(base64_encode(named), c(a = "Zg==", b = NA, c = "", d = "Zm9vYmE="))
expect_identical(base64_encode(named, url = TRUE, pad = FALSE), c(a = "Zg", b = NA, c = "", d = "Zm9vYmE"))
expect_identical(base64_encode(c(x = "foob")), c(x = "Zm9vYg=="))
expect_identical(base64_encode(NA_character_), NA_character_)
expect_identical(base64_encode(character(0)), character(0))
expect_identical(base64_encode(c(x = "foob"), raw = TRUE), charToRaw("Zm9vYg=="))
# Decoding takes a character vector as the lines of one text.
lines <- strsplit(base64_encode(x, line_width = 16), "\n")[[1L]]
expect_identical(base64_decode(lines), x)
expect_identical(base64_decode(character(0)), raw(0))
expect_identical(base64_decode(c("Zm9v", "YmFy")), charToRaw("foobar"))
expect_error(base64_decode(c("Zg==", "Zg==")), "misplaced padding at position 3", fixed = TRUE)

# ---- arguments ----
bad_args <- list(
  list(quote(base64_encode(1:3)), "`x` must be a raw vector or a character vector"),
  list(quote(base64_encode(list(raw(1)))), "`x` must be a raw vector or a character vector"),
  list(quote(base64_decode(NULL)), "`x` must be a raw vector or a character vector"),
  list(quote(base64_decode(c("QQ==", NA))), "`x` must be a raw vector or a character vector without NA"),
  list(quote(base64_decode(NA_character_)), "without NA"),
  list(quote(base64_encode(c("a", "b"), raw = TRUE)), "`raw = TRUE` needs a raw vector or a single non-NA string"),
  list(quote(base64_encode(NA_character_, raw = TRUE)), "`raw = TRUE` needs"),
  list(quote(base64_encode(raw(1), url = NA)), "`url` must be TRUE or FALSE"),
  list(quote(base64_encode(raw(1), pad = "no")), "`pad` must be TRUE or FALSE"),
  list(quote(base64_decode("", url = 1)), "`url` must be TRUE or FALSE"),
  list(quote(base64_decode("", strict = NA, url = TRUE)), "`strict` must be TRUE or FALSE")
)
for (width in list(0, 3, 6, -4, 4.5, NA, Inf, "76", c(4, 8), 2^32)) {
  bad_args[[length(bad_args) + 1L]] <- list(bquote(base64_encode(raw(1), line_width = .(width))),
                                            "`line_width` must be NULL or a positive multiple of 4")
}
for (newline in list("\r", "", NA_character_, 10, c("\n", "\n"))) {
  bad_args[[length(bad_args) + 1L]] <- list(bquote(base64_encode(raw(1), newline = .(newline))),
                                            "`newline` must be \"\\n\" or \"\\r\\n\"")
}
for (a in bad_args) expect_error(eval(a[[1L]]), pattern = a[[2L]], fixed = TRUE, info = deparse(a[[1L]]))
# A string too long for the text: the check comes before any work.
expect_error(ns$check_text_size(1610612734, TRUE, NULL, charToRaw("\n")), "use `raw = TRUE`")
expect_identical(ns$check_text_size(1610612733, TRUE, NULL, charToRaw("\n")), 2147483644)
expect_identical(ns$text_size(2^31 + 3, FALSE, 76L, charToRaw("\r\n")), 2863311535 + 37675151 * 2)

# ---- long vectors: the pieces, with small steps ----
# Vectors of 2^31 bytes and more go through these with steps of 2^26 to 2^28 (make bench-long);
# here small steps put many piece boundaries into short data.
bad <- character()
for (x in samples[lengths %in% c(0:20, 100:103, 1000:1002)]) {
  for (step in c(3, 57, 114)) {
    for (f in seq_len(nrow(forms))) {
      form <- forms[f, ]
      width <- if (form$width > 0L) form$width
      if (!is.null(width) && step %% (width / 4 * 3) != 0) next
      nl <- charToRaw(form$newline)
      got <- ns$encode_long(x, form$url, form$pad, width, nl, step = step)
      want <- base64_encode(x, raw = TRUE, url = form$url, pad = form$pad, line_width = width,
                            newline = form$newline)
      if (!identical(got, want)) bad <- c(bad, sprintf("encode: %d bytes, step %d, form %d", length(x), step, f))
      if (!identical(ns$decode_long(want, TRUE, form$url, step = 4 * step), x)) {
        bad <- c(bad, sprintf("decode: %d bytes, step %d, form %d", length(x), step, f))
      }
    }
  }
}
expect_identical(bad, character(0))
# Malformed and non-canonical text: the same answers, and the same errors, as in one piece.
texts <- c(random_texts[1:150], vapply(rep(base64_encode(samples[[60]]), 80L), mutate, ""))
bad <- character()
for (t in unique(texts)) {
  for (url in c(FALSE, TRUE)) {
    raw_text <- charToRaw(t)
    for (step in c(4, 40)) {
      # NULL where strict decoding fails.
      strict <- decode_or_error(t, url = url)
      same <- identical(ns$decode_long(raw_text, TRUE, url, step = step),
                        if (is.raw(strict)) strict) &&
        identical(ns$decode_long(raw_text, FALSE, url, step = step),
                  base64_decode(t, strict = FALSE, url = url)) &&
        identical(ns$explain(raw_text, url, step = step), ns$explain(raw_text, url))
      if (!same) bad <- c(bad, sprintf("%s, url = %s, step %d", encodeString(t), url, step))
    }
  }
}
expect_identical(bad, character(0))

check_leaks()
