# ---- Base64 ----
# The codec routines know one form of text: the standard alphabet, padded, on one line, for
# vectors of fewer than 2^31 bytes. The variants are built here on top of them: the URL-safe
# alphabet by exchanging bytes, unpadded text by dropping or supplying "=", lines by laying the
# text out as the columns of a matrix, white space by removing it first, and long vectors by
# working in pieces. Fresh memory costs a page fault per 4 KiB and R's making of a string reads
# every byte several times, each far more than the codec's work: the helpers make as few
# full-size temporaries and strings as they can.

base64_encode <- function(x, raw = FALSE, url = FALSE, pad = TRUE, line_width = NULL,
                          newline = "\n") {
  # base64_encode(x) and base64_encode(x, raw = TRUE) of a raw vector take a path of primitives
  # only: at small sizes the wrapper, not the codec, sets the cost of a call. With two arguments
  # `raw` can be TRUE only if given, which leaves no room for a variant. 1610612733 bytes have
  # the longest text a string holds.
  switch(nargs(),
    if (is.raw(x) && length(x) <= 1610612733) {
      text <- .Call(kestrin_base64_encode, x)
      return(text_to_string(text, length(text)))
    },
    if (is.logical(raw) && length(raw) == 1L && !is.na(raw) && raw && is.raw(x) &&
        length(x) <= 2147483647) {
      return(.Call(kestrin_base64_encode, x))
    }
  )
  raw <- check_flag(raw, "raw")
  url <- check_flag(url, "url")
  pad <- check_flag(pad, "pad")
  width <- check_line_width(line_width)
  newline <- check_newline(newline)
  if (is.character(x)) {
    if (length(x) == 1L && !is.na(x) && (raw || is.null(names(x)))) {
      x <- charToRaw(x)
    } else if (raw) {
      fail("`raw = TRUE` needs a raw vector or a single non-NA string, not %s", describe(x))
    } else {
      return(encode_strings(x, url, pad, width, newline))
    }
  } else if (!is.raw(x)) {
    fail("`x` must be a raw vector or a character vector, not %s", describe(x))
  }
  if (raw) encode_raw(x, url, pad, width, newline) else encode_string(x, url, pad, width, newline)
}

base64_decode <- function(x, strict = TRUE, url = FALSE) {
  # base64_decode(x) of a raw vector or a string takes a path of primitives only when the text
  # is canonical and on one line, as most is. Decoded lengths tell such text apart without
  # reading it: one "=" leaves 3n/4 - 1 bytes, which nothing else can; two leave 3n/4 - 2, as
  # does text going on after "=="; no padding leaves 3n/4, as does a stop at an invalid byte,
  # but that zeroes the last byte. Of the character before the padding only its unused low bits
  # remain to be looked at. Anything else goes the long way, which may still find it sound; so
  # does text of 8 MiB and more whose first line ends early: the routine would refuse it at once,
  # but only after making a result of its full size.
  if (nargs() == 1L) {
    text <- if (is.raw(x)) x else if (is.character(x) && length(x) == 1L && !is.na(x)) charToRaw(x)
    n <- length(text)
    if (n <= 2147483647 && !is.null(text)) {
      if (n < 8388608 || !length(first_line_end(text))) {
        out <- .Call(kestrin_base64_decode, text)
        m <- length(out)
        full <- n %/% 4L * 3L
        if (m == full - 1L) {
          if (low2_zero[as.integer(text[n - 1L])]) return(out)
        } else if (m == full) {
          if (m > 0L && out[m] != zero_byte || n == 0L) return(out)
        } else if (m == full - 2L && text[n] == pad_byte && low4_zero[as.integer(text[n - 2L])]) {
          return(out)
        }
      }
      return(decode_checked(text, TRUE, FALSE))
    }
  }
  strict <- check_flag(strict, "strict")
  url <- check_flag(url, "url")
  decode_checked(as_text(x), strict, url)
}

# ---- arguments ----

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
    shown <- if (is.character(newline)) encodeString(newline) else newline
    fail("`newline` must be \"\\n\" or \"\\r\\n\", not %s", describe(shown))
  }
  charToRaw(newline)
}

# The text to decode as a raw vector. A character vector holds the lines of one text, as
# readLines() gives them.
as_text <- function(x) {
  if (is.raw(x)) return(x)
  if (!is.character(x)) fail("`x` must be a raw vector or a character vector, not %s", describe(x))
  if (anyNA(x)) fail("`x` must be a raw vector or a character vector without NA, not %s", describe(x))
  charToRaw(if (length(x) == 1L) x else paste(x, collapse = "\n"))
}

# ---- tables ----

pad_byte <- as.raw(61L)
zero_byte <- as.raw(0L)
lf_byte <- as.raw(10L)
cr_byte <- as.raw(13L)
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
# The bytes in which the two alphabets differ, each at the place of its counterpart.
standard_only <- charToRaw("+/")
url_only <- charToRaw("-_")

# ---- encoding ----

# Characters in the text of n bytes; n may be 2^31 or more, so this is done in doubles.
text_size <- function(n, pad, width, newline) {
  chars <- if (pad) 4 * ceiling(n / 3) else ceiling(4 * n / 3)
  if (is.null(width) || chars == 0) chars else chars + (ceiling(chars / width) - 1) * length(newline)
}

check_text_size <- function(n, pad, width, newline) {
  size <- text_size(n, pad, width, newline)
  if (size > 2147483647) {
    fail("the text of %.0f bytes has %.0f characters, more than a string holds (2^31 - 1): use `raw = TRUE`",
         n, size)
  }
  size
}

# A string of the first n bytes of the raw vector `text`. rawToChar() makes it from the vector
# itself, but first reads every byte to find trailing NULs; readChar() copies the bytes into a
# buffer of its own and makes it from that, which is quicker, except for short texts (readChar()
# is the longer call) and for texts past glibc's threshold for mapping memory (128 KiB at first),
# whose buffer can land on fresh pages each time, a fault per 4 KiB.
text_to_string <- function(text, n) {
  if (n == length(text) && (n < 1024 || n >= 131072)) return(rawToChar(text))
  readChar(text, n, useBytes = TRUE)
}

# The text of `x` (fewer than 2^31 bytes) as a raw vector that starts with it and may run on past
# its end (text_size() says where it ends): a string is made from a part without a cut.
encode_text <- function(x, url, pad, width, newline) {
  text <- .Call(kestrin_base64_encode, x)
  if (url) text <- replace_bytes(text, standard_only, url_only)
  if (!is.null(width)) text <- wrap(text, text_size(length(x), pad, NULL, newline), width, newline)
  text
}

encode_string <- function(x, url, pad, width, newline) {
  size <- check_text_size(length(x), pad, width, newline)
  text_to_string(encode_text(x, url, pad, width, newline), size)
}

encode_raw <- function(x, url, pad, width, newline) {
  size <- text_size(length(x), pad, width, newline)
  # Text of 2^31 bytes or more is made in pieces: the variants' steps take shorter vectors.
  if (size > 2147483647) return(encode_long(x, url, pad, width, newline))
  first_bytes(encode_text(x, url, pad, width, newline), size)
}

# The first n bytes of `text`, copied only if there is more.
first_bytes <- function(text, n) if (n < length(text)) readBin(text, "raw", n) else text

# A character vector, element by element: names and NA kept.
encode_strings <- function(x, url, pad, width, newline) {
  check_text_size(max(0, nchar(x, "bytes"), na.rm = TRUE), pad, width, newline)
  out <- vapply(x, function(s) {
    if (is.na(s)) NA_character_ else encode_string(charToRaw(s), url, pad, width, newline)
  }, "", USE.NAMES = FALSE)
  names(out) <- names(x)
  out
}

# The first `chars` characters of `text` in lines of `width`, each followed by `newline`. The
# lines are the columns of a matrix whose last rows hold the line end: one matrix assignment
# interleaves them, where joining strings would make one per line. The result ends with the
# last column, so past the text it holds the rest of a short last line and a newline.
wrap <- function(text, chars, width, newline) {
  if (chars == 0) return(text)
  full <- chars %/% width
  lines <- ceiling(chars / width)
  out <- matrix(c(raw(width), newline), width + length(newline), lines)
  if (full > 0) out[seq_len(width), seq_len(full)] <- first_bytes(text, full * width)
  rest <- chars - full * width
  if (rest > 0) out[seq_len(rest), lines] <- text[full * width + seq_len(rest)]
  dim(out) <- NULL
  out
}

# Bytes of 2^31 or more, or whose text is that long: made in pieces of whole groups of 3 bytes
# and whole lines (`step`, a multiple of both), each followed by a newline but the last.
encode_long <- function(x, url, pad, width, newline, step = 3 * 2^26) {
  if (!is.null(width)) step <- step - step %% (width / 4 * 3)
  n <- length(x)
  parts <- list()
  each_piece(x, step, function(piece, offset) {
    size <- text_size(length(piece), pad, width, newline)
    if (!is.null(width) && offset + length(piece) < n) size <- size + length(newline)
    parts[[length(parts) + 1L]] <<- first_bytes(encode_text(piece, url, pad, width, newline), size)
  })
  if (length(parts) == 1L) parts[[1L]] else do.call(c, parts)
}

# ---- decoding ----

# Raw text with each byte of `from` replaced by the one at its place in `to`, all found before
# any is replaced. The bytes in which the alphabets differ make 1 in 32 characters of random
# text, so their places are found and assigned: a table lookup would index every byte.
replace_bytes <- function(text, from, to) {
  at <- lapply(from, function(b) grepRaw(b, text, fixed = TRUE, all = TRUE))
  for (i in seq_along(from)) text[at[[i]]] <- to[i]
  text
}

# URL-safe text to standard text, in which a standard "+" or "/" becomes a byte it lacks.
url_to_standard <- function(text) {
  replace_bytes(text, c(url_only, standard_only), c(standard_only, url_only))
}

# Decodes raw text, or raises what is wrong with it.
decode_checked <- function(text, strict, url) {
  out <- if (length(text) > 2147483647) decode_long(text, strict, url) else decode_any(text, strict, url)
  if (is.null(out)) out <- not_canonical(text, url)
  out
}

# Decodes raw text of fewer than 2^31 bytes, white space and all. Strict: NULL unless the text is
# canonical. Lenient: the routine's answer on the text without its white space, with "=" supplied
# when it is unpadded. Text in lines as encoders write them first loses its line ends by
# position; text the routine then refuses goes the slower way that removes any white space.
decode_any <- function(text, strict, url) {
  if (url) text <- url_to_standard(text)
  lines <- without_line_ends(text)
  out <- decode_text(if (is.null(lines)) text else lines, TRUE)
  if (is.null(out)) out <- decode_text(without_space(text), strict)
  out
}

# Where the first line of raw text ends (the place of its LF) if within its first 4 KiB, or
# integer(0).
first_line_end <- function(text) grepRaw(lf_byte, first_bytes(text, 4096), fixed = TRUE)

# Text in lines of one width of at most 4 KiB (the last one not longer), with the same line end
# after each but the last, and perhaps after that too, as encoders write it: the text without
# those line ends, or NULL if it is not in such lines. They go by position: R drops them through
# an index of 4 bytes per byte kept, made here for a piece of whole lines at a time, so that it
# stays small.
without_line_ends <- function(text, step = 2^18) {
  n <- length(text)
  first <- first_line_end(text)
  if (!length(first)) return(NULL)
  ending <- if (first > 1L && text[first - 1L] == cr_byte) 2L else 1L
  width <- first - ending
  ends_too <- text[n] == lf_byte && (ending == 1L || text[n - 1L] == cr_byte)
  body <- n - ends_too * ending # the text before a line end after the last line
  lines <- body %/% first
  if (width == 0L || body - lines * first > width) return(NULL)
  at <- seq.int(first, by = first, length.out = lines)
  if (!all(text[at] == lf_byte) || ending == 2L && !all(text[at - 1L] == cr_byte)) return(NULL)
  keep <- rep(c(TRUE, FALSE), c(width, ending))
  in_pieces(text, max(1, step %/% first) * first, function(piece, offset) {
    if (offset + length(piece) > body) piece <- first_bytes(piece, body - offset)
    # A logical index longer than the vector would add NA.
    piece[if (length(piece) < first) keep[seq_along(piece)] else keep]
  })
}

# Raw text without its white space, whatever its layout.
without_space <- function(text, step = 2^20) {
  in_pieces(text, step, function(piece, offset) piece[standard_kinds[as.integer(piece) + 1L] != 1L])
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

# Strict decoding found `text` not canonical: raise what is wrong and where; if nothing is,
# decode it.
not_canonical <- function(text, url) {
  problem <- explain(text, url)
  if (!is.null(problem)) fail("`x` is not well-formed Base64: %s", problem)
  if (length(text) > 2147483647) decode_long(text, FALSE, url) else decode_any(text, FALSE, url)
}

# Calls f(bytes, offset) on raw `x` in pieces of at most `step` bytes, in order.
each_piece <- function(x, step, f) {
  if (length(x) <= step) return(invisible(f(x, 0)))
  con <- rawConnection(x)
  on.exit(close(con))
  for (offset in seq(0, length(x) - 1, by = step)) f(readBin(con, "raw", step), offset)
}

# f(bytes, offset) on raw `x` in pieces of at most `step` bytes, the results joined.
in_pieces <- function(x, step, f) {
  if (length(x) <= step) return(f(x, 0))
  parts <- list()
  each_piece(x, step, function(piece, offset) parts[[length(parts) + 1L]] <<- f(piece, offset))
  do.call(c, parts)
}

# Why raw text `x` (white space included) is not canonical Base64, or NULL if it is. Positions
# count the bytes of `x` from 1. The walk reads the text once, in pieces, on the error path only.
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

# Text of 2^31 bytes or more, decoded in pieces of whole groups (`step`, a multiple of 4).
# Standard text on one line is read as it is; anything else is first brought to that form.
decode_long <- function(text, strict, url, step = 2^28) {
  if (!url) {
    out <- decode_pieces(text, TRUE, step)
    if (!is.null(out)) return(out)
  }
  clean <- in_pieces(text, min(step, 2^24), function(piece, offset) {
    without_space(if (url) url_to_standard(piece) else piece)
  })
  if (length(clean) > step) decode_pieces(clean, strict, step) else decode_text(clean, strict)
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
