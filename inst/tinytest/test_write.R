# ---- fd_write(): one write(2), its count, 0 when it would block ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

r <- run_child({
  before <- open_fds()
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list()

  # Bytes arrive as they are, raw or the bytes of a string.
  p <- h$pipe(FALSE)
  bytes <- as.raw(0:255)
  out$all_bytes <- fd_write(p[2], bytes)
  out$all_back <- identical(h$read(p[1], 1000L), bytes)
  out$string <- fd_write(p[2], "caf\u00e9\n")
  out$string_back <- h$read(p[1], 100L)
  out$empty <- fd_write(p[2], raw(0L))
  big <- as.raw(sample(0:255, 20000L, TRUE))
  out$big <- fd_write(p[2], big)
  out$big_back <- identical(h$read(p[1], 30000L), big)
  h$close(p[1]); h$close(p[2])

  # A full non-blocking pipe takes nothing: 0, not an error. Room for part of a large write:
  # the count of what went out, and exactly those bytes arrive.
  p <- h$pipe(TRUE)
  out$filled <- h$fill(p[2])
  out$full <- fd_write(p[2], "x")
  drained <- length(h$read(p[1], 8192L))
  data <- as.raw(rep_len(1:251, 100000L))
  out$partial <- fd_write(p[2], data)
  rest <- h$read(p[1], 2e6)
  out$partial_bytes <- identical(tail(rest, out$partial), head(data, out$partial))
  out$drained <- drained
  h$close(p[1]); h$close(p[2])

  # Failures: a closed descriptor, a full device, a signal before any byte went out.
  p <- h$pipe(FALSE)
  h$close(p[2])
  out$ebadf <- catch(fd_write(p[2], "x"))
  h$close(p[1])
  if (file.exists("/dev/full")) {
    full <- h$open_write("/dev/full")
    out$enospc <- catch(fd_write(full, "x"))
    h$close(full)
  }
  p <- h$pipe(TRUE)
  h$fill(p[2])
  h$set_blocking(p[2])
  h$alarm(100000L)
  out$eintr <- catch(fd_write(p[2], "x"))
  h$close(p[1]); h$close(p[2])

  # Hundreds of calls, failing ones included, leave the descriptor table as it was.
  p <- h$pipe(TRUE)
  for (i in 1:500) {
    fd_write(p[2], "y")
    h$read(p[1], 10L)
    catch(fd_write(987654L, "z"))
  }
  h$close(p[1]); h$close(p[2])
  out$leaked <- setdiff(open_fds(), before)
  out$lost <- setdiff(before, open_fds())
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result

expect_identical(res$all_bytes, 256L)
expect_true(res$all_back)
expect_identical(res$string, 6L)
expect_identical(res$string_back, charToRaw(enc2utf8("caf\u00e9\n")))
expect_identical(res$empty, 0L)
expect_identical(res$big, 20000L)
expect_true(res$big_back)

expect_true(res$filled > 0)
expect_identical(res$full, 0L)
expect_true(res$partial > 0L && res$partial < 100000L, info = res$partial)
expect_true(res$partial_bytes)

system_error <- function(msg, errnum) {
  grepl(sprintf("^Cannot write to fd \\(system error %d, [^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_write\\)$",
                errnum), msg)
}
expect_true(system_error(res$ebadf, 9L), info = res$ebadf)
# ENOSPC needs /dev/full, which not every system has.
if (!is.null(res$enospc)) expect_true(system_error(res$enospc, 28L), info = res$enospc)
expect_true(system_error(res$eintr, 4L), info = res$eintr)

expect_identical(res$leaked, integer(0L))
expect_identical(res$lost, integer(0L))

# A script whose last line writes a payload to its own stdout: the payload, and nothing else,
# reaches the parent. A visible count would follow it as "[1] 21".
r <- run_child({
  fd_write(1L, "payload from the child")
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
expect_identical(r$stdout, "payload from the child")
expect_false(withVisible(fd_write(1L, raw(0L)))$visible)

check_leaks()
