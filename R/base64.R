# ---- Base64 ----
# The codec routines know one form of text: the standard alphabet, padded, on one line, for
# vectors of fewer than 2^31 bytes. The variants are built here on top of them: the URL-safe
# alphabet by translating the text, unpadded text by dropping or supplying "=", lines by reshaping
# the text as a matrix, white space by removing it first, and long vectors by working in pieces.
# The common calls (a raw vector or a string, no variant) take a path of primitives only: at small
# sizes the wrapper, not the codec, sets the cost of a call.

base64_encode <- function(x, raw = FALSE, url = FALSE, pad = TRUE, line_width = NULL,
                          newline = "\n") {
  # nargs() + missing(raw) <= 2: nothing but `x` and `raw` was given. 1610612733 bytes have the
  # longest text a string holds.
  if (nargs() + missing(raw) <= 2L && is.raw(x) && length(x) <= 1610612733 &&
      is.logical(raw) && length(raw) == 1L && !is.na(raw)) {
    text <- .Call(kestrin_base64_encode, x)
    return(if (raw) text else text_to_string(text, length(text)))
  }
  raw <- check_flag(raw, "raw")
  url <- check_flag(url, "url")
  pad <- check_flag(pad, "pad")
  width <- check_line_width(line_width)
  newline <- check_newline(newline)
  if (is.character(x)) {
    if (raw && (length(x) != 1L || is.na(x))) {
      fail("`raw = TRUE` needs a raw vector or a single non-NA string, not %s", describe(x))
    }
    if (!raw && (length(x) != 1L || is.na(x) || !is.null(names(x)))) {
      check_text_size(max(0, nchar(x, "bytes"), na.rm = TRUE), pad, width, newline)
      out <- vapply(x, function(s) {
        if (is.na(s)) NA_character_ else encode_string(charToRaw(s), url, pad, width, newline)
      }, "", USE.NAMES = FALSE)
      names(out) <- names(x)
      return(out)
    }
    x <- charToRaw(x)
  } else if (!is.raw(x)) {
    fail("`x` must be a raw vector or a character vector, not %s", describe(x))
  }
  if (raw) encode_raw(x, url, pad, width, newline) else encode_string(x, url, pad, width, newline)
}

base64_decode <- function(x, strict = TRUE, url = FALSE) {
  if (missing(url) && is.logical(strict) && length(strict) == 1L && !is.na(strict)) {
    text <- if (is.raw(x)) x else if (is.character(x) && length(x) == 1L && !is.na(x)) charToRaw(x)
    if (length(text) <= 2147483647 && !is.null(text)) {
      out <- .Call(kestrin_base64_decode, text)
      # Decoded lengths tell canonical text apart without reading it: one "=" leaves 3n/4 - 1
      # bytes, which nothing else can; two leave 3n/4 - 2, as does text going on after "==";
      # no padding leaves 3n/4, as does a stop at an invalid byte, but that zeroes the last byte.
      # Of the character before the padding only its unused low bits remain to be looked at.
      # Lenient, a walk that ended at "=" never saw what follows. Anything else goes the long
      # way, which may still find the text sound.
      n <- length(text)
      m <- length(out)
      full <- n %/% 4L * 3L
      if (m == full - 1L && (!strict || low2_zero[as.integer(text[n - 1L])]) ||
          m == full && m > 0L && out[m] != zero_byte || n == 0L ||
          if (strict) m == full - 2L && text[n] == pad_byte && low4_zero[as.integer(text[n - 2L])]
          else m < full) {
        return(out)
      }
    }
  }
  strict <- check_flag(strict, "strict")
  url <- check_flag(url, "url")
  if (is.character(x)) {
    if (anyNA(x)) fail("`x` must be a raw vector or a character vector without NA, not %s", describe(x))
    # Elements are lines of one text, as readLines() gives them.
    if (length(x) != 1L) x <- paste(x, collapse = "\n")
  } else if (!is.raw(x)) {
    fail("`x` must be a raw vector or a character vector, not %s", describe(x))
  }
  if (is.raw(x) && length(x) > 2147483647) return(decode_long(x, strict, url))
  out <- decode_text(clean_text(x, url), strict)
  if (is.null(out)) out <- not_canonical(x, url)
  out
}

# ---- argument checks of the variants ----

check_line_width <- function(width) {
  if (is.null(width)) return(NULL)
  if (!is.numeric(width) || length(width) != 1L || !is.finite(width) || width < 4 ||
      width != trunc(width) || width %% 4 != 0 || width > .Machine$integer.max) {
    fail("`line_width` must be NULL or a positive multiple of 4, not %s", describe(width))
  }
  as.integer(width)
}

check_newline <- function(newline) {
  if (!is.character(newline) || length(newline) != 1L || is.na(newline) ||
      !(newline == "\n" || newline == "\r\n")) {
    fail("`newline` must be \"\\n\" or \"\\r\\n\", not %s", describe(if (is.character(newline)) encodeString(newline) else newline))
  }
  charToRaw(newline)
}

# ---- tables ----

pad_byte <- as.raw(61L)
zero_byte <- as.raw(0L)
standard_chars <- "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
url_chars <- "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
space_bytes <- c(9L, 10L, 11L, 12L, 13L, 32L) # tab, LF, VT, FF, CR, space

# What each byte value (index: byte + 1) is in text of one alphabet: 0 a character of it, 1 white
# space, 2 padding, 3 a character of the other alphabet only, 4 anything else.
byte_kinds <- function(chars, other) {
  kinds <- rep(4L, 256L)
  kinds[as.integer(charToRaw(other)) + 1L] <- 3L
  kinds[as.integer(charToRaw(chars)) + 1L] <- 0L
  kinds[space_bytes + 1L] <- 1L
  kinds[62L] <- 2L
  kinds
}
standard_kinds <- byte_kinds(standard_chars, url_chars)
url_kinds <- byte_kinds(url_chars, standard_chars)
char_values <- function(chars) {
  values <- rep(NA_integer_, 256L)
  values[as.integer(charToRaw(chars)) + 1L] <- 0:63
  values
}
standard_values <- char_values(standard_chars)
url_values <- char_values(url_chars)
# Indexed by the byte itself (never 0 where they are read): whether a standard character's value
# has its low 2 or low 4 bits clear, as the last character before "=" or "==" must.
low2_zero <- (standard_values %% 4L == 0L)[-1L]
low4_zero <- (standard_values %% 16L == 0L)[-1L]
low2_zero[is.na(low2_zero)] <- FALSE
low4_zero[is.na(low4_zero)] <- FALSE
# Exchanges the two alphabets' last characters: URL-safe text becomes standard text in which a
# standard "+" or "/" turns into a byte the decoder refuses.
swap_bytes <- local({
  swap <- as.raw(0:255)
  swap[c(44L, 46L, 48L, 96L)] <- as.raw(c(45L, 43L, 95L, 47L))
  swap
})

# ---- encoding ----

# Characters in the text of n bytes; n may be 2^31 or more, so this is done in doubles.
text_size <- function(n, pad, width, newline) {
  chars <- if (pad) 4 * ceiling(n / 3) else ceiling(4 * n / 3)
  if (is.null(width) || chars == 0) chars else chars + (ceiling(chars / width) - 1) * length(newline)
}

# A string of the first n bytes of the raw vector `text`. readChar() makes it with a copy where
# rawToChar() reads every byte to find trailing NULs, which costs more, except where the copy
# lands on fresh pages: glibc maps blocks of 32 MiB and more anew each time.
text_to_string <- function(text, n) {
  if (n >= 1024 && n < 33554432) return(readChar(text, n, useBytes = TRUE))
  if (n < length(text)) text <- readBin(text, "raw", n)
  rawToChar(text)
}

check_text_size <- function(n, pad, width, newline) {
  size <- text_size(n, pad, width, newline)
  if (size > 2147483647) {
    fail("the text of %.0f bytes has %.0f characters, more than a string holds (2^31 - 1): use `raw = TRUE`",
         n, size)
  }
  size
}

encode_string <- function(x, url, pad, width, newline) {
  size <- check_text_size(length(x), pad, width, newline)
  text <- .Call(kestrin_base64_encode, x)
  if (!is.null(width)) text <- wrap(text, length(x), pad, width, newline)
  text <- text_to_string(text, size)
  if (url) chartr("+/", "-_", text) else text
}

# `last`: whether the bytes end the data, so that padding may follow and no newline does.
encode_raw <- function(x, url, pad, width, newline, last = TRUE) {
  if (length(x) > 2147483647) return(encode_long(x, url, pad, width, newline))
  text <- .Call(kestrin_base64_encode, x)
  size <- text_size(length(x), pad, width, newline)
  if (!is.null(width)) {
    text <- wrap(text, length(x), pad, width, newline)
    if (!last) size <- size + length(newline)
  }
  if (size < length(text)) text <- readBin(text, "raw", size)
  if (url) translate(text, "+/", "-_") else text
}

# The text of n bytes broken into lines of `width` characters, each followed by `newline`. Past
# the end of the text the result holds junk: callers read as much as they need.
wrap <- function(text, n, pad, width, newline) {
  chars <- text_size(n, pad, NULL, newline)
  if (chars == 0) return(text)
  lines <- ceiling(chars / width)
  # matrix() recycles the text into the last line, with a warning; that part is never read.
  lines <- suppressWarnings(matrix(text, width, lines))
  out <- if (length(newline) == 1L) rbind(lines, newline) else rbind(lines, newline[1L], newline[2L])
  dim(out) <- NULL
  out
}

# Byte translation through a string: chartr() is one pass in C.
translate <- function(text, old, new) {
  if (!length(text)) return(text)
  charToRaw(chartr(old, new, text_to_string(text, length(text))))
}

# Bytes of 2^31 or more: the routines take less, so the text is made in pieces of whole lines
# and whole groups of 3 bytes (`step`, a multiple of 3), read from a connection, which copies
# without an index vector.
encode_long <- function(x, url, pad, width, newline, step = 3 * 2^26) {
  if (!is.null(width)) step <- step - step %% (width / 4 * 3)
  con <- rawConnection(x)
  on.exit(close(con))
  n <- length(x)
  if (n == 0) return(raw(0))
  parts <- vector("list", ceiling(n / step))
  for (i in seq_along(parts)) {
    last <- i == length(parts)
    parts[[i]] <- encode_raw(readBin(con, "raw", step), url, pad, width, newline, last)
  }
  do.call(c, parts)
}

# ---- decoding ----

# Raw text without white space, in the standard alphabet. White space goes through one regular
# expression over a string; text that holds a NUL cannot be one and takes a slower way.
clean_text <- function(x, url) {
  if (is.raw(x)) {
    string <- if (length(x) && !length(grepRaw(zero_byte, x, fixed = TRUE))) {
      text_to_string(x, length(x))
    }
    if (is.null(string)) {
      x <- x[standard_kinds[as.integer(x) + 1L] != 1L]
      return(if (url) swap_bytes[as.integer(x) + 1L] else x)
    }
    x <- string
  }
  x <- gsub("[\t\n\v\f\r ]+", "", x, perl = TRUE, useBytes = TRUE)
  # A "-" inside either set would read as a range.
  if (url) x <- chartr("+/_-", "-_/+", x)
  charToRaw(x)
}

# Decodes standard text without white space (fewer than 2^31 bytes). Strict: NULL unless the
# text is canonical. Lenient: the routine's answer, on the text with "=" supplied when its length
# is 2 or 3 modulo 4 and it has none.
decode_text <- function(text, strict) {
  n <- length(text)
  rest <- n %% 4L
  if (rest >= 2L) {
    out <- .Call(kestrin_base64_decode, c(text, rep(pad_byte, 4L - rest)))
    # Exactly the whole bytes of n characters: neither "=" nor an invalid byte stopped the walk.
    if (length(out) == n %/% 4L * 3L + rest - 1L) {
      low_zero <- if (rest == 2L) low4_zero else low2_zero
      if (!strict || low_zero[as.integer(text[n])]) return(out)
      return(NULL)
    }
    if (strict) return(NULL)
    if (length(grepRaw(pad_byte, text, fixed = TRUE))) return(.Call(kestrin_base64_decode, text))
    return(out)
  }
  out <- .Call(kestrin_base64_decode, text)
  if (!strict || canonical(text, out)) out
}

# Whether `out`, the routine's answer, shows `text` (length a multiple of 4) to be canonical.
canonical <- function(text, out) {
  n <- length(text)
  m <- length(out)
  full <- n %/% 4L * 3L
  if (n %% 4L != 0L) return(FALSE)
  if (n == 0L) return(TRUE)
  if (m == full - 1L) return(low2_zero[as.integer(text[n - 1L])])
  if (m == full - 2L) return(text[n] == pad_byte && low4_zero[as.integer(text[n - 2L])])
  m == full && (out[m] != zero_byte || unpadded_sound(text, out))
}

# Length of the run of zero bytes at the end of `x`, in time proportional to that run.
trailing_zeros <- function(x) {
  len <- length(x)
  m <- 1L
  while (m < len && all(x[(len - m + 1L):len] == zero_byte)) m <- min(2L * m, len)
  tail <- x[(len - m + 1L):len]
  nonzero <- which(tail != zero_byte)
  if (length(nonzero)) m - max(nonzero) else len
}

# Whether text of capacity length whose decoding ends in zero bytes decoded to the end. A byte
# outside the alphabet would have cut the walk short and zeroed everything from the stop on, so
# only the text behind the trailing zeros can hide one.
unpadded_sound <- function(text, out) {
  n <- length(text)
  if (text[n] == pad_byte) return(FALSE)
  first_group <- max(0, (length(out) - trailing_zeros(out)) %/% 3 - 1)
  all(standard_kinds[as.integer(text[(4 * first_group + 1):n]) + 1L] == 0L)
}

# Strict decoding found `x` not canonical: raise what is wrong and where; if nothing is, decode it.
not_canonical <- function(x, url, step = 2^26) {
  problem <- explain(x, url, step)
  if (!is.null(problem)) fail("`x` is not well-formed Base64: %s", problem)
  decode_text(clean_text(x, url), FALSE)
}

# Calls f(bytes, offset) on `x` in pieces of at most `step` bytes, in order.
each_piece <- function(x, step, f) {
  if (is.character(x)) x <- charToRaw(x)
  if (length(x) <= step) return(invisible(f(x, 0)))
  con <- rawConnection(x)
  on.exit(close(con))
  for (offset in seq(0, length(x) - 1, by = step)) f(readBin(con, "raw", step), offset)
}

# Why text `x` (white space included) is not canonical Base64, or NULL if it is. Positions count
# the bytes of `x` from 1. The walk reads the text once, in pieces, on the error path only.
explain <- function(x, url, step = 2^26) {
  kinds <- if (url) url_kinds else standard_kinds
  values <- if (url) url_values else standard_values
  alphabet <- if (url) "the URL-safe Base64 alphabet" else "the Base64 alphabet"
  count <- 0 # characters before any padding
  total <- 0 # bytes read
  last <- NULL # the last of those characters, and where it is
  pad_at <- NA # where the padding starts
  pads <- 0
  problem <- NULL
  each_piece(x, step, function(bytes, offset) {
    if (!is.null(problem)) return()
    total <<- total + length(bytes)
    kind <- kinds[as.integer(bytes) + 1L]
    from <- 1L
    if (is.na(pad_at)) {
      stop <- which(kind >= 2L)[1L]
      before <- if (is.na(stop)) kind else kind[seq_len(stop - 1L)]
      chars <- which(before == 0L)
      count <<- count + length(chars)
      if (length(chars)) {
        at <- chars[length(chars)]
        last <<- list(byte = bytes[at], at = offset + at)
      }
      if (is.na(stop)) return()
      if (kind[stop] >= 3L) {
        hint <- if (kind[stop] == 4L) "" else if (url) {
          "; it belongs to the standard alphabet (`url = FALSE`)"
        } else {
          "; it belongs to the URL-safe alphabet (`url = TRUE`)"
        }
        problem <<- sprintf("byte 0x%s at position %.0f is not in %s%s", bytes[stop],
                            offset + stop, alphabet, hint)
        return()
      }
      pad_at <<- offset + stop
      from <- stop
    }
    after <- kind[from:length(kind)]
    if (any(after == 0L | after >= 3L)) {
      problem <<- sprintf("misplaced padding at position %.0f", pad_at)
    }
    pads <<- pads + sum(after == 2L)
  })
  if (!is.null(problem)) return(problem)
  rest <- count %% 4
  if (!is.na(pad_at)) {
    if (rest < 2 || pads > 4 - rest) return(sprintf("misplaced padding at position %.0f", pad_at))
    if (pads < 4 - rest) return(sprintf("incomplete padding at position %.0f", pad_at))
  } else if (rest == 1) {
    spaces <- if (count < total) ", not counting white space," else ""
    return(sprintf("its length%s is %.0f, 1 more than a multiple of 4", spaces, count))
  }
  if (rest >= 2 && values[as.integer(last$byte) + 1L] %% (if (rest == 2) 16L else 4L) != 0L) {
    return(sprintf("its last character, '%s' at position %.0f, has bits set past the last byte",
                   rawToChar(last$byte), last$at))
  }
  NULL
}

# Text of 2^31 bytes or more, decoded in pieces of whole groups (`step`, a multiple of 4). Text without white space in the
# standard alphabet is read as it is; anything else is first cleaned piece by piece.
decode_long <- function(x, strict, url, step = 2^28) {
  if (!url) {
    out <- decode_pieces(x, TRUE, step)
    if (!is.null(out)) return(out)
  }
  parts <- list()
  each_piece(x, step, function(bytes, offset) parts[[length(parts) + 1L]] <<- clean_text(bytes, url))
  text <- do.call(c, parts)
  rm(parts)
  out <- if (length(text) > step) decode_pieces(text, strict, step) else decode_text(text, strict)
  if (is.null(out)) out <- not_canonical(x, url, step)
  out
}

# Standard text without white space, of any length, in pieces of `step` characters. Strict: NULL
# unless the text is canonical. Lenient: what the routine would answer on the whole text.
decode_pieces <- function(text, strict, step) {
  n <- length(text)
  parts <- vector("list", ceiling(n / step))
  con <- rawConnection(text)
  on.exit(close(con))
  for (i in seq_along(parts)) {
    piece <- readBin(con, "raw", step)
    if (i == length(parts)) {
      # Earlier pieces held no "=": one here is the first in the text.
      rest <- n %% 4
      if (!strict && (rest == 1 || rest >= 2 && length(grepRaw(pad_byte, piece, fixed = TRUE)))) {
        return(raw(3 * (n %/% 4)))
      }
      out <- decode_text(piece, strict)
      if (is.null(out)) return(NULL)
      parts[[i]] <- out
      break
    }
    out <- .Call(kestrin_base64_decode, piece)
    if (length(out) == step / 4 * 3 && (out[length(out)] != zero_byte || unpadded_sound(piece, out))) {
      parts[[i]] <- out
      next
    }
    if (strict) return(NULL)
    # The walk stops in this piece. For a length of 1 modulo 4, or of 2 or 3 with an "=" left in,
    # the routine decodes nothing; otherwise it ends at "=", or at an invalid byte with zeros
    # up to the capacity of the text and its supplied padding.
    rest <- n %% 4
    seen_pad <- length(grepRaw(pad_byte, piece, fixed = TRUE)) > 0L
    while (!seen_pad && length(more <- readBin(con, "raw", step))) {
      seen_pad <- length(grepRaw(pad_byte, more, fixed = TRUE)) > 0L
    }
    if (rest == 1 || rest >= 2 && seen_pad) return(raw(3 * (n %/% 4)))
    parts[[i]] <- out
    if (length(out) == step / 4 * 3) {
      parts[[i + 1L]] <- raw(3 * ceiling(n / 4) - step / 4 * 3 * i)
    }
    break
  }
  do.call(c, parts)
}
