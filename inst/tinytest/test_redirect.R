# ---- pointing stdout and stderr elsewhere and back ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

# The routines as they are: a pipe, a file, the errors, and the descriptors they consume.
r <- run_child({
  ns <- asNamespace("client")
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list(stdout_was = fd_target(1L), stderr_was = fd_target(2L))

  p <- h$pipe(FALSE)
  saved <- .Call(ns$kestrin_set_stdout, p[2], FALSE)
  out$saved <- saved
  out$given_closed <- h$fd_flags(p[2]) == -1L
  h$write_fd(1L, "through the pipe")
  out$piped <- rawToChar(h$read(p[1], 100L))
  out$restored_null <- is.null(.Call(ns$kestrin_set_stdout, saved, TRUE))
  out$stdout_back <- fd_target(1L)
  out$saved_closed <- h$fd_flags(saved) == -1L
  # NA as the drop flag counts as true: nothing is saved.
  q <- h$pipe(FALSE)
  keep <- .Call(ns$kestrin_set_stderr, 2L, FALSE)
  out$na_drop_null <- is.null(.Call(ns$kestrin_set_stderr, q[2], NA))
  out$na_drop_piped <- fd_target(2L) != out$stderr_was
  .Call(ns$kestrin_set_stderr, keep, TRUE)
  h$close(q[1])
  h$close(p[1])

  f <- tempfile()
  writeLines("old content", f)
  saved <- .Call(ns$kestrin_set_stderr_to_file, f)
  out$emptied <- file.size(f)
  out$saved_is_old_stderr <- fd_target(saved)
  out$saved_cloexec <- cloexec(saved)
  h$write_fd(2L, "new")
  .Call(ns$kestrin_set_stderr, saved, TRUE)
  out$file_content <- readLines(f, warn = FALSE)
  out$mode <- format(file.info(f)$mode)
  out$umask <- format(Sys.umask())

  out$missing_dir <- catch(.Call(ns$kestrin_set_stderr_to_file, "/nonexistent-dir/x.log"))
  out$stderr_unchanged <- fd_target(2L)
  options(warning.length = 8170L)
  long <- paste0("/nonexistent-dir/", strrep("p", 5000L))
  out$long_path <- long
  out$long <- catch(.Call(ns$kestrin_set_stderr_to_file, long))

  # A closed descriptor: one far above the rest, and one that dup would hand out again.
  before <- open_fds()
  out$closed_fd <- catch(.Call(ns$kestrin_set_stdout, 900L, FALSE))
  out$closed_fd_drop <- catch(.Call(ns$kestrin_set_stdout, 900L, TRUE))
  lowest_free <- setdiff(0:1000, before)[1]
  out$closed_lowest <- catch(.Call(ns$kestrin_set_stdout, lowest_free, FALSE))
  out$closed_fd_leak <- setdiff(open_fds(), before)
  out$stdout_after_closed <- fd_target(1L)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result

expect_true(is.integer(res$saved) && res$saved > 2L)
expect_true(res$given_closed)
expect_equal(res$piped, "through the pipe")
expect_true(res$restored_null)
expect_equal(res$stdout_back, res$stdout_was)
expect_true(res$saved_closed)
expect_true(res$na_drop_null)
expect_true(res$na_drop_piped)

expect_equal(res$emptied, 0)
expect_equal(res$saved_is_old_stderr, res$stderr_was)
expect_false(res$saved_cloexec)
expect_equal(res$file_content, "new")
expect_equal(res$mode, format(as.octmode(bitwAnd(0x1A4L, bitwNot(as.integer(as.octmode(res$umask)))))))

expect_true(grepl(paste0("^Cannot open new stderr file `/nonexistent-dir/x\\.log` \\(system error 2, ",
                         "[^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_set_stderr_to_file\\)$"), res$missing_dir),
            info = res$missing_dir)
expect_equal(res$stderr_unchanged, res$stderr_was)
# A message longer than the buffer is cut at 4095 characters; the rest of the layout follows.
expect_equal(substr(res$long, 1L, 4095L),
             substr(sprintf("Cannot open new stderr file `%s`", res$long_path), 1L, 4095L))
expect_true(grepl("^ \\(system error [0-9]+, [^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_set_stderr_to_file\\)$",
                  substring(res$long, 4096L)), info = substring(res$long, 4096L))

reroute <- "^Cannot reroute stdout \\(system error 9, [^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_set_std\\)$"
expect_true(grepl(reroute, res$closed_fd), info = res$closed_fd)
expect_true(grepl(reroute, res$closed_fd_drop), info = res$closed_fd_drop)
expect_true(grepl(reroute, res$closed_lowest), info = res$closed_lowest)
expect_equal(res$stdout_after_closed, res$stdout_was)
expect_identical(res$closed_fd_leak, integer(0L))

# The stream is never left closed, and failures leave no descriptor behind.
r <- run_child({
  ns <- asNamespace("client")
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list(stdout_was = fd_target(1L))

  # Descriptor 1 given to the stdout routine: nothing moves, a duplicate is still saved.
  saved <- .Call(ns$kestrin_set_stdout, 1L, FALSE)
  out$self_open <- h$fd_flags(1L) >= 0L
  out$self_saved <- fd_target(saved)
  .Call(ns$kestrin_set_stdout, saved, TRUE)
  out$self_drop_null <- is.null(.Call(ns$kestrin_set_stdout, 1L, TRUE))
  out$self_drop_open <- fd_target(1L)

  # stdout closed beforehand, so that the file opens as descriptor 1.
  keep <- .Call(ns$kestrin_set_stdout, 1L, FALSE)
  h$close(1L)
  f <- tempfile()
  saved <- .Call(ns$kestrin_set_stdout_to_file, f)
  out$file_self_open <- fd_target(1L)
  out$file_self_saved <- fd_target(saved)
  h$write_fd(1L, "into the file")
  h$close(saved)
  .Call(ns$kestrin_set_stdout, keep, TRUE)
  out$file_self_content <- readLines(f, warn = FALSE)
  out$file_path <- path_id(f)
  out$stdout_back <- fd_target(1L)

  before <- open_fds()
  # dup2 fails after the duplicate was made.
  for (i in 1:1000) catch(.Call(ns$kestrin_set_stdout, 900L, FALSE))
  # The file opens but no descriptor is left for the duplicate: the file's is closed again.
  free <- setdiff(0:1000, open_fds())
  old <- h$set_nofile(free[2])
  g <- tempfile()
  for (i in 1:1000) out$emfile <- catch(.Call(ns$kestrin_set_stdout_to_file, g))
  h$set_nofile(old)
  out$emfile_created <- file.exists(g)
  out$failing_leak <- setdiff(open_fds(), before)

  # 1000 round trips through the R functions.
  for (i in 1:1000) {
    s <- redirect_stdout(f)
    restore_stdout(s)
    s <- redirect_stderr(f)
    restore_stderr(s)
  }
  out$cycle_leak <- setdiff(open_fds(), before)
  out$cycle_lost <- setdiff(before, open_fds())
  out$cycle_stdout <- fd_target(1L)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_true(res$self_open)
expect_equal(res$self_saved, res$stdout_was)
expect_true(res$self_drop_null)
expect_equal(res$self_drop_open, res$stdout_was)
expect_equal(res$file_self_open, res$file_path)
expect_equal(res$file_self_saved, res$file_path)
expect_equal(res$file_self_content, "into the file")
expect_equal(res$stdout_back, res$stdout_was)
expect_true(grepl("^Cannot reroute stdout \\(system error 24, [^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_set_std\\)$",
                  res$emfile), info = res$emfile)
expect_true(res$emfile_created)
expect_identical(res$failing_leak, integer(0L))
expect_identical(res$cycle_leak, integer(0L))
expect_identical(res$cycle_lost, integer(0L))
expect_equal(res$cycle_stdout, res$stdout_was)

# End to end: R, compiled code and a child program all follow the streams, and nothing printed
# before a switch is carried across it.
r <- run_child({
  fo <- tempfile()
  fe <- tempfile()
  cat("before, no newline yet")
  h$printf("C before\n")
  so <- redirect_stdout(fo)
  se <- redirect_stderr(fe)
  cat("R out\n")
  message("R err")
  h$printf("C out\n")
  h$write_fd(2L, "C err\n")
  system("echo child out; echo child err >&2")
  restore_stderr(se)
  restore_stdout(so)
  cat("after\n")
  message("after err")
  result(list(out = readLines(fo), err = readLines(fe)))
})
expect_equal(r$status, 0L)
expect_equal(r$result$out, c("R out", "C out", "child out"))
expect_equal(r$result$err, c("R err", "C err", "child err"))
expect_equal(r$stdout, c("before, no newline yetC before", "after"))
expect_equal(r$stderr, "after err")

# The R API: saved streams, scoped helpers, capture, sharing a file, descriptors as targets.
r <- run_child({
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list(stdout_was = fd_target(1L), stderr_was = fd_target(2L))
  f1 <- tempfile(); f2 <- tempfile(); f3 <- tempfile()

  s <- redirect_stdout(f1)
  out$print <- capture.output(print(s))
  restore_stdout(s)
  out$twice <- catch(restore_stdout(s))
  s <- redirect_stderr(f1)
  out$wrong_stream <- catch(restore_stdout(s))
  restore_stderr(s)

  # Nesting unwinds innermost first, on error too.
  with_stdout(f1, {
    cat("a\n")
    with_stdout(f2, cat("b\n"))
    cat("c\n")
  })
  out$nested <- list(readLines(f1), readLines(f2))
  out$error <- catch(with_stdout(f3, stop("boom")))
  out$after_error <- fd_target(1L)
  scoped <- function() {
    local_stdout(f1)
    local_stdout(f2)
    local_stderr(f3)
    cat("inner\n")
    message("inner err")
    fd_target(1L)
  }
  out$local_inside <- scoped()
  out$f2 <- path_id(f2)
  out$local_files <- list(readLines(f1), readLines(f2), readLines(f3))
  out$local_after <- c(fd_target(1L), fd_target(2L))
  out$top_level <- catch(local_stdout(f1, .local_envir = globalenv()))
  out$not_a_frame <- catch(local_stdout(f1, .local_envir = new.env()))

  # A stream pointed again at the file it writes to shares it: nothing is truncated.
  with_stdout(f3, {
    cat("outer 1\n")
    with_stdout(f3, cat("inner\n"))
    cat("outer 2\n")
  })
  out$same_stream <- readLines(f3)

  # Errors, native ones included, name the call the user made.
  call_of <- function(expr) tryCatch(expr, error = function(e) deparse(conditionCall(e)))
  out$calls <- c(call_of(with_stdout(f3, stop("boom"))), call_of(redirect_stdout(900L)),
                 call_of(capture_output(stop("inside"))))

  # Both streams to one file: shared, in the order written, nothing overwritten.
  with_stdout(f1, with_stderr(f1, {
    cat("one\n")
    message("two")
    cat("three\n")
  }))
  out$shared <- readLines(f1)

  # Standard descriptors as targets are duplicated, never consumed.
  s <- redirect_stderr(1L)
  out$to_stdout <- fd_target(2L)
  out$stdout_kept <- fd_target(1L)
  restore_stderr(s)
  p <- h$pipe(FALSE)
  out$dropped_null <- is.null(redirect_stdout(p[2], drop = TRUE))
  cat("into the pipe\n")
  out$piped <- rawToChar(h$read(p[1], 100L))
  out$pipe_write_closed <- h$fd_flags(p[2]) == -1L

  out$captured <- capture_output({
    cat("R\n")
    h$printf("C\n")
    h$write_fd(2L, "C err\n")
    system("echo child; echo child err >&2")
    42
  })
  out$merged <- capture_output({
    cat("1\n"); message("2"); system("echo 3; echo 4 >&2")
  }, merge = TRUE)
  out$raw <- capture_output(h$write_fd(1L, "x\001y"), raw = TRUE)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_true(grepl("^<saved stdout: descriptor [0-9]+, not restored>$", res$print), info = res$print)
expect_true(grepl("already restored", res$twice))
expect_true(grepl("restore_stderr", res$wrong_stream))
expect_equal(res$nested, list(c("a", "c"), "b"))
expect_true(grepl("boom", res$error))
expect_equal(res$after_error, res$stdout_was)
expect_equal(res$local_inside, res$f2)
expect_equal(res$local_files, list(character(0L), "inner", "inner err"))
expect_equal(res$local_after, c(res$stdout_was, res$stderr_was))
expect_true(grepl("environment of a running function", res$top_level))
expect_true(grepl("environment of a running function", res$not_a_frame))
expect_equal(res$same_stream, c("outer 1", "inner", "outer 2"))
expect_equal(res$calls, c("with_stdout(f3, stop(\"boom\"))", "redirect_stdout(900L)",
                          "capture_output(stop(\"inside\"))"))
expect_equal(res$shared, c("one", "two", "three"))
expect_equal(res$to_stdout, res$stdout_was)
expect_equal(res$stdout_kept, res$stdout_was)
expect_true(res$dropped_null)
expect_equal(res$piped, "into the pipe\n")
expect_true(res$pipe_write_closed)
expect_equal(res$captured, list(value = 42, stdout = "R\nC\nchild\n", stderr = "C err\nchild err\n"))
expect_equal(res$merged$stdout, "1\n2\n3\n4\n")
expect_equal(res$merged$stderr, "")
expect_equal(res$raw$stdout, charToRaw("x\001y"))

check_leaks()
