# ---- disable_inheritance(): close-on-exec on the open descriptors, scanning up from 0 ----
# Each child first arranges its own descriptor table: it closes everything above 2 (its script
# was read whole beforehand), then opens descriptors at chosen numbers. The scan is the
# routine's, seen whole with keep_output = FALSE; by default stdout and stderr are given back.
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
  disable_inheritance(keep_output = FALSE)
  out$only_std <- flags(0:2)
  for (fd in 0:2) h$set_fd_flags(fd, 0L)

  # 0-2, 5 and 15: everything below 16 is visited, gaps or not.
  h$dup2(0L, 5L)
  h$dup2(0L, 15L)
  disable_inheritance(keep_output = FALSE)
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
  out$returned <- withVisible(disable_inheritance(keep_output = FALSE))
  first <- snapshot()
  disable_inheritance(keep_output = FALSE)
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

# By default stdout and stderr stay inheritable, pointing where they did: a shell command
# prints through them and succeeds. Standard input cannot be given back. The duplicates made on
# the way are gone afterwards; when they cannot be made (EMFILE), nothing is flagged.
r <- run_child({
  for (fd in setdiff(open_fds(), 0:2)) h$close(fd)
  # Duplicating 0 onto another number fails when 0 is closed (0<&0 would be a no-op).
  stdin_open <- "if (: 9<&0) 2>/dev/null; then echo open; else echo closed; fi"
  out <- list(targets = vapply(0:2, fd_target, ""))
  out$stdin_before <- system(stdin_open, intern = TRUE)
  held <- h$open_read("/dev/null")
  out$returned <- withVisible(disable_inheritance())
  out$flags <- vapply(c(0:2, held), cloexec, NA)
  out$targets_after <- vapply(0:2, fd_target, "")
  out$fds <- open_fds()
  out$echo <- system("echo hi; echo err >&2")
  out$stdin_after <- system(stdin_open, intern = TRUE)
  for (i in 1:300) disable_inheritance()
  out$fds_loop <- open_fds()

  disable_inheritance(keep_output = FALSE)
  out$full_flags <- vapply(0:2, cloexec, NA)
  out$echo_full <- system("echo lost; echo lost >&2")

  # Out of descriptors for the copies, with none or one free: an error before anything is
  # flagged, and no copy left open.
  for (fd in 0:2) h$set_fd_flags(fd, 0L)
  before <- open_fds()
  out$emfile <- lapply(1:2, function(n_free) {
    old <- h$set_nofile(setdiff(0:1000, before)[n_free])
    e <- tryCatch(disable_inheritance(), error = identity)
    h$set_nofile(old)
    list(msg = conditionMessage(e), call = deparse(conditionCall(e)),
         flags = vapply(0:2, cloexec, NA), same_fds = identical(open_fds(), before))
  })
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_null(res$returned$value)
expect_false(res$returned$visible)
expect_equal(res$flags, c(TRUE, FALSE, FALSE, TRUE))
expect_equal(res$targets_after, res$targets)
expect_equal(res$fds, c(0:3))
expect_equal(res$echo, 0L)
expect_equal(res$stdin_before, "open")
expect_equal(res$stdin_after, "closed")
expect_equal(res$fds_loop, res$fds)
# keep_output = FALSE leaves the routine's flags: the shell has nowhere to print and fails.
expect_equal(res$full_flags, rep(TRUE, 3L))
expect_true(res$echo_full != 0L, info = res$echo_full)
expect_identical(r$stdout, "hi")
expect_identical(r$stderr, "err")
for (e in res$emfile) {
  expect_true(grepl("^Cannot reroute std(out|err) \\(system error 24, ", e$msg), info = e$msg)
  expect_equal(e$call, "disable_inheritance()")
  expect_equal(e$flags, rep(FALSE, 3L))
  expect_true(e$same_fds)
}

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
