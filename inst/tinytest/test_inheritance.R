# ---- disable_inheritance(): close-on-exec on the open descriptors, scanning up from 0 ----
# Each child first arranges its own descriptor table: it closes everything above 2 (its script
# was read whole beforehand), then opens descriptors at chosen numbers.
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

r <- run_child({
  for (fd in setdiff(open_fds(), 0:2)) h$close(fd)
  flags <- function(fds) vapply(fds, function(fd) cloexec(fd), NA)
  snapshot <- function() {
    fds <- open_fds()
    list(fds = fds, fd = vapply(fds, h$fd_flags, 0L), fl = vapply(fds, h$fl_flags, 0L))
  }
  out <- list()

  # Only 0-2 open.
  out$only_std_before <- open_fds()
  disable_inheritance()
  out$only_std <- flags(0:2)
  for (fd in 0:2) h$set_fd_flags(fd, 0L)

  # 0-2, 5 and 15: everything below 16 is visited, gaps or not.
  h$dup2(0L, 5L)
  h$dup2(0L, 15L)
  disable_inheritance()
  out$below_floor <- flags(c(0:2, 5L, 15L))
  h$close(5L); h$close(15L)
  for (fd in 0:2) h$set_fd_flags(fd, 0L)

  # 0-2, 16-19 and 25: the scan ends at 20, the first gap at or above 16.
  p <- h$pipe(TRUE)
  h$dup2(p[1], 16L); h$dup2(p[2], 17L); h$dup2(0L, 18L); h$dup2(0L, 19L); h$dup2(0L, 25L)
  h$close(p[1]); h$close(p[2])
  h$set_fd_flags(17L, 1L)  # already flagged: keeps its flags and its non-blocking mode
  fl17 <- h$fl_flags(17L)
  before <- snapshot()
  out$returned <- withVisible(disable_inheritance())
  first <- snapshot()
  disable_inheritance()
  second <- snapshot()
  out$above_floor <- flags(c(0:2, 16:19))
  out$beyond_gap <- flags(25L)
  out$fl17_kept <- identical(h$fl_flags(17L), fl17)
  out$same_table <- identical(before$fds, first$fds)
  out$status_flags_kept <- identical(before$fl, first$fl)
  out$second_call_same <- identical(first, second)
  for (fd in c(16:19, 25L)) h$close(fd)

  # 16 closed and 17 open: the scan ends at 16, the floor itself.
  h$dup2(0L, 17L)
  disable_inheritance()
  out$floor_gap <- flags(17L)
  h$close(17L)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_equal(res$only_std_before, 0:2)
expect_equal(res$only_std, rep(TRUE, 3L))
expect_equal(res$below_floor, rep(TRUE, 5L))
expect_equal(res$above_floor, rep(TRUE, 7L))
expect_false(res$beyond_gap)
expect_false(res$floor_gap)
expect_true(res$fl17_kept)
expect_true(res$same_table)
expect_true(res$status_flags_kept)
expect_true(res$second_call_same)
expect_null(res$returned$value)
expect_false(res$returned$visible)

# What a started program sees: its own descriptors, before and after the call.
r <- run_child({
  listing <- function() {
    f <- tempfile()
    s <- redirect_stdout(f)
    # A program started with system(): an R that lists its descriptors with fcntl.
    lister <- sprintf("dyn.load('%s'); cat(.Call('th_open_fds'), sep = '\\n')", fdhelper_so)
    system(paste(file.path(R.home("bin"), "Rscript"), "--vanilla -e", shQuote(lister)))
    restore_stdout(s)
    list(fds = as.integer(readLines(f)), saved = s$fd)
  }
  opened <- c(h$open_read("/dev/null"), h$open_read("/dev/zero"), h$pipe(FALSE), h$pipe(TRUE))
  inherited <- listing()
  disable_inheritance()
  after <- listing()
  flagged <- opened[vapply(opened, cloexec, NA)]
  result(list(opened = opened, flagged = flagged, inherited = inherited, after = after))
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_equal(res$flagged, res$opened)
expect_true(all(res$opened %in% res$inherited$fds))
expect_equal(intersect(res$after$fds, res$flagged), integer(0L))
# The redirected stdout is still there: dup2 onto it cleared its flag.
expect_true(1L %in% res$after$fds)

check_leaks()
