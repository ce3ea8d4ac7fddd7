# Calls every native routine in this one process, on inputs from empty to a few MiB, failing
# paths included, and checks what comes back. Run by `make sanitize` and `make valgrind`, where
# the test suite's child processes are out of the memory checker's sight (valgrind) or where
# large vectors are needed so that R hands them to malloc (AddressSanitizer).
# Usage: Rscript tools/exercise.R LIB
lib <- commandArgs(TRUE)[[1L]]
suppressMessages(library(client, lib.loc = lib))
ns <- asNamespace("client")
native <- function(name, ...) .Call(get(name, envir = ns), ...)

failures <- 0L
check <- function(ok, what) {
  if (!isTRUE(ok)) {
    failures <<- failures + 1L
    message("FAILED: ", what)
  }
}
error_text <- function(expr) tryCatch({ expr; "" }, error = conditionMessage)

set.seed(42)
random_bytes <- function(n) as.raw(sample.int(256L, n, replace = TRUE) - 1L)

# ---- Base64 ----
# Lengths that are multiples of 8 put the end of a large vector's data on the end of its malloc
# block, where AddressSanitizer sees an overrun of a single byte.
lengths <- c(0:64, 127:130, 4095:4097, 6144L, 8191:8193, 65536L, 3L * 2^18, 2^21 + 1)
for (n in lengths) {
  x <- random_bytes(n)
  text <- base64_encode(x, raw = TRUE)
  check(length(text) == 4 * ((n + 2) %/% 3), sprintf("encoded length for %d bytes", n))
  check(identical(base64_decode(text), x), sprintf("round trip of %d bytes", n))
}

# Results of 8 MiB and more take another path (the glue asks for huge pages): 12 MiB of bytes,
# 16 MiB of text.
x <- rep_len(random_bytes(65536L), 3L * 2^22)
text <- base64_encode(x, raw = TRUE)
check(length(text) == 2^24, "encoded length for 12 MiB")
check(identical(base64_decode(text), x), "round trip of 12 MiB")
rm(x, text)

# Malformed text of every kind, large: the decoder's second allocation and copy, and its zero fill.
big <- base64_encode(random_bytes(49152L), raw = TRUE) # 65536 characters, no padding
n <- length(big)
capacity <- 3L * n %/% 4L
bad <- big
bad[n - 5L] <- charToRaw("!")
out <- base64_decode(bad, strict = FALSE)
check(length(out) == capacity, "invalid byte near the end: capacity length")
# The stop is at the third character of the second-to-last group: one more byte is complete.
check(identical(out[seq_len(capacity - 5L)], base64_decode(big)[seq_len(capacity - 5L)]) &&
        all(out[(capacity - 4L):capacity] == as.raw(0L)), "invalid byte near the end: zero fill")
bad <- big
bad[8L] <- as.raw(0xC3)
out <- base64_decode(bad, strict = FALSE)
check(length(out) == capacity && identical(out[1:5], base64_decode(big[1:8])[1:5]) &&
        all(out[6L:capacity] == as.raw(0L)), "invalid byte early")
out <- base64_decode(big[seq_len(n - 3L)], strict = FALSE)
check(length(out) == 3L * (n - 3L) %/% 4L && all(out == as.raw(0L)), "length of 1 modulo 4")
out <- base64_decode(big[-n], strict = FALSE)
check(identical(out, base64_decode(big)[seq_len(capacity - 1L)]), "unpadded text")
padded <- big
padded[4097L:4100L] <- charToRaw("====")
out <- base64_decode(padded, strict = FALSE)
check(length(out) == 3072L, "padding in the middle: the walk stops there")
ends_in_pad <- big
ends_in_pad[n] <- charToRaw("=")
ends_in_pad[100L] <- charToRaw("!")
out <- base64_decode(ends_in_pad, strict = FALSE)
check(length(out) == capacity, "invalid byte in text that ends in padding")
check(identical(base64_decode(big[seq_len(8192L)]), base64_decode(big)[seq_len(6144L)]),
      "a prefix decodes to a prefix")
for (i in 1:200) {
  m <- sample(0:600, 1L)
  decoded <- base64_decode(random_bytes(m), strict = FALSE)
  check(length(decoded) <= 3 * ceiling(m / 4), sprintf("random text of %d bytes", m))
}

# ---- writes and redirection ----
out_file <- tempfile()
err_file <- tempfile()
flush(stdout())
flush(stderr())
saved_out <- redirect_stdout(out_file)
saved_err <- redirect_stderr(err_file)
payload <- random_bytes(3L * 2^16)
written <- fd_write(1L, payload)
empty <- fd_write(2L, raw(0L))
to_saved <- fd_write(saved_out$fd, raw(0L))
bad_fd <- error_text(fd_write(100000L, "x"))
# A descriptor as target: stderr joins stdout's file, then is pointed back.
saved_err2 <- redirect_stderr(1L)
invisible(fd_write(2L, "tail"))
restore_stderr(saved_err2)
restore_stderr(saved_err)
restore_stdout(saved_out)
check(written == length(payload), "fd_write count")
check(empty == 0L && to_saved == 0L, "empty writes")
check(identical(readBin(out_file, "raw", 2L * length(payload)), c(payload, charToRaw("tail"))),
      "bytes written to the redirected stdout")
check(grepl("^Cannot write to fd \\(system error 9,", bad_fd), "EBADF error text")
unlink(c(out_file, err_file))

missing <- file.path(tempfile(), "nope", "out.txt")
check(grepl("^Cannot open new stdout file", error_text(redirect_stdout(missing))), "open failure")
check(grepl("^Cannot open new stderr file", error_text(redirect_stderr(missing))), "open failure")
check(grepl("^Cannot reroute stdout",
            error_text(native("kestrin_set_stdout", 100000L, TRUE))), "dup2 failure")
check(grepl("^Cannot reroute stderr",
            error_text(native("kestrin_set_stderr", 100000L, TRUE))), "dup2 failure")
check(grepl("^Cannot read fd", error_text(native("kestrin_write", integer(0L), raw(0L)))),
      "empty descriptor vector")
check(nzchar(error_text(native("kestrin_set_stdout_to_file", character(0L)))), "empty path vector")
long <- strrep("x", 5000L)
check(grepl("^Cannot open new stdout file", error_text(suppressWarnings(redirect_stdout(file.path(long, long))))),
      "a message longer than the buffer")

# ---- close-on-exec, last: afterwards this process can start no child with its streams ----
disable_inheritance()
disable_inheritance()

if (failures > 0L) {
  message(failures, " checks failed")
  quit(status = 1L)
}
cat("exercise: every routine called, all checks passed\n")
