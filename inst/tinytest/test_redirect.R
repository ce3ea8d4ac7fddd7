# ---- pointing stdout and stderr elsewhere and back ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

# The routines as they are: a pipe, a file, the errors, and the descriptors they consume.
r <- run_child({
  ns <- asNamespace("client")
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list(stdout_was = fd_target(1L), stderr_was = fd_target(2L))
  # Under 002, a file created 0664 instead of 0644 shows.
  Sys.umask("002")

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
  out$umask <- format(Sys.umask())
  # A file the routine creates gets 0644 less the umask.
  created <- tempfile()
  .Call(ns$kestrin_set_stderr, .Call(ns$kestrin_set_stderr_to_file, created), TRUE)
  out$mode <- format(file.info(created)$mode)

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
  catch(.Call(ns$kestrin_set_stderr_to_file, "/nonexistent-dir/x")) # errno is ENOENT now
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

# A stream pointed at itself, and a stream that is closed; failures leave no descriptor behind.
r <- run_child({
  ns <- asNamespace("client")
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  out <- list(stdout_was = fd_target(1L))

  # Descriptor 1 given to the stdout routine: nothing moves, a duplicate is still saved.
  saved <- .Call(ns$kestrin_set_stdout, 1L, FALSE)
  out$self_open <- h$fd_flags(1L) >= 0L
  out$self_saved <- fd_target(saved)
  # Dropped, the stream pointed at itself is closed; its duplicate points it back.
  out$self_drop_null <- is.null(.Call(ns$kestrin_set_stdout, 1L, TRUE))
  out$self_drop_closed <- h$fd_flags(1L) == -1L
  .Call(ns$kestrin_set_stdout, saved, TRUE)
  out$self_back <- fd_target(1L)

  # stdout closed beforehand: the file opens as descriptor 1 and the saved stream is -1, closed;
  # pointing the stream at itself with drop closes it again.
  keep <- .Call(ns$kestrin_set_stdout, 1L, FALSE)
  h$close(1L)
  f <- tempfile()
  out$file_closed_saved <- .Call(ns$kestrin_set_stdout_to_file, f)
  out$file_self_open <- fd_target(1L)
  out$file_path <- path_id(f)
  h$write_fd(1L, "into the file")
  .Call(ns$kestrin_set_stdout, 1L, TRUE)
  out$file_closed_again <- h$fd_flags(1L) == -1L
  out$file_self_content <- readLines(f, warn = FALSE)
  # The same for a descriptor: a pipe (made while stdout was open, not to fill its number) takes
  # the closed stream's place.
  h$dup2(keep, 1L)
  p <- h$pipe(FALSE)
  .Call(ns$kestrin_set_stdout, 1L, TRUE)
  out$fd_closed_saved <- .Call(ns$kestrin_set_stdout, p[2], FALSE)
  h$write_fd(1L, "into the pipe")
  out$fd_closed_piped <- rawToChar(h$read(p[1], 100L))
  .Call(ns$kestrin_set_stdout, 1L, TRUE)
  out$fd_closed_again <- h$fd_flags(1L) == -1L
  h$close(p[1])
  .Call(ns$kestrin_set_stdout, keep, TRUE)
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
expect_true(res$self_drop_closed)
expect_equal(res$self_back, res$stdout_was)
expect_identical(res$file_closed_saved, -1L)
expect_equal(res$file_self_open, res$file_path)
expect_true(res$file_closed_again)
expect_equal(res$file_self_content, "into the file")
expect_identical(res$fd_closed_saved, -1L)
expect_equal(res$fd_closed_piped, "into the pipe")
expect_true(res$fd_closed_again)
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
  # Still in C's buffer: the restore must flush it into the file first.
  h$printf("C last\n")
  restore_stdout(so)
  restore_stderr(se)
  cat("after\n")
  message("after err")
  result(list(out = readLines(fo), err = readLines(fe)))
})
expect_equal(r$status, 0L)
expect_equal(r$result$out, c("R out", "C out", "child out", "C last"))
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
  out$error_err <- catch(with_stderr(f3, stop("boom")))
  out$after_error_err <- fd_target(2L)
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
  s <- redirect_stdout(2L)
  out$to_stderr <- fd_target(1L)
  restore_stdout(s)
  out$stderr_kept <- fd_target(2L)
  out$stdout_back <- fd_target(1L)
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
  out$nul <- tryCatch(capture_output(fd_write(1L, as.raw(c(0x61, 0, 0x62)))),
                      warning = function(w) list(warning = conditionMessage(w)))
  out$nul_text <- suppressWarnings(capture_output(fd_write(1L, as.raw(c(0x61, 0, 0x62)))))$stdout
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
expect_true(grepl("boom", res$error_err))
expect_equal(res$after_error_err, res$stderr_was)
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
expect_equal(res$to_stderr, res$stderr_was)
expect_equal(res$stderr_kept, res$stderr_was)
expect_equal(res$stdout_back, res$stdout_was)
expect_true(res$dropped_null)
expect_equal(res$piped, "into the pipe\n")
expect_true(res$pipe_write_closed)
expect_equal(res$captured, list(value = 42, stdout = "R\nC\nchild\n", stderr = "C err\nchild err\n"))
expect_equal(res$merged$stdout, "1\n2\n3\n4\n")
expect_equal(res$merged$stderr, "")
expect_equal(res$raw$stdout, charToRaw("x\001y"))
expect_true(grepl("NUL bytes", res$nul$warning))
expect_equal(res$nul_text, "ab")

# Running out of descriptors at every step: each call either works (and is undone) or fails
# cleanly, leaving the descriptor table and both streams as they were.
r <- run_child({
  f <- tempfile()
  g <- function() { local_stdout(2L); cat("x") }
  cases <- list(
    stdout_to_stderr = quote(restore_stdout(redirect_stdout(2L))),
    stderr_to_stdout = quote(restore_stderr(redirect_stderr(1L))),
    drop_to_stderr = quote(with_stdout(f, redirect_stdout(2L, drop = TRUE))),
    drop_to_stdout = quote(with_stderr(f, redirect_stderr(1L, drop = TRUE))),
    to_file = quote(restore_stdout(redirect_stdout(f))),
    shared_file = quote(with_stdout(f, with_stderr(f, cat("x")))),
    nested_file = quote(with_stdout(f, with_stdout(tempfile(), with_stdout(f, cat("x"))))),
    local = quote(g()),
    capture = quote(capture_output(cat("x"))),
    capture_merged = quote(capture_output(cat("x"), merge = TRUE))
  )
  before <- list(fds = open_fds(), out = fd_target(1L), err = fd_target(2L))
  free <- setdiff(0:1000, before$fds)
  out <- list()
  for (name in names(cases)) {
    for (n_free in 0:6) {
      old <- h$set_nofile(free[n_free + 1L])
      res <- tryCatch({ eval(cases[[name]]); "ok" }, error = function(e) "error")
      h$set_nofile(old)
      after <- list(fds = open_fds(), out = fd_target(1L), err = fd_target(2L))
      out[[sprintf("%s with %d free", name, n_free)]] <- list(res = res, same = identical(after, before))
    }
  }
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
for (name in names(r$result)) expect_true(r$result[[name]]$same, info = name)
# Enough descriptors let every case through.
expect_equal(unique(vapply(r$result[grep("with 6 free", names(r$result))], `[[`, "", "res")), "ok")

# A restore that fails: the user's error goes on, the failure comes beside it with the saved
# stream, which can still be restored once the cause is gone.
r <- run_child({
  f <- tempfile()
  keep <- .Call(asNamespace("client")$kestrin_set_stdout, 1L, FALSE)
  # The saved descriptor (the lowest new one), closed behind the package's back; reopened later
  # at the same number.
  sabotage <- function() {
    saved <- min(setdiff(open_fds(), before))
    h$close(saved)
    saved
  }
  attempt <- function(expr) {
    failure <- NULL
    value <- tryCatch(withCallingHandlers(expr, client_restore_failure = function(w) {
      failure <<- w
      if (inherits(w, "warning")) invokeRestart("muffleWarning")
    }), error = function(e) e)
    lost <- attr(value, "lost")
    list(error = if (inherits(value, "error")) conditionMessage(value),
         class = class(failure), stuck = identical(fd_target(1L), path_id(f)),
         restored = {
           h$dup2(keep, lost_fd)
           if (!is.null(failure)) restore_stdout(failure$saved)
           identical(fd_target(1L), fd_target(keep))
         })
  }
  local_case <- function(fail) {
    local_stdout(f)
    lost_fd <<- sabotage()
    if (fail) stop("user error") else "value"
  }
  out <- list()
  before <- open_fds()
  for (fail in c(TRUE, FALSE)) {
    lost_fd <- NA
    out[[paste("with", fail)]] <- attempt(with_stdout(f, {
      lost_fd <<- sabotage()
      if (fail) stop("user error") else "value"
    }))
    out[[paste("local", fail)]] <- attempt(local_case(fail))
    out[[paste("capture", fail)]] <- attempt(capture_output({
      lost_fd <<- sabotage()
      if (fail) stop("user error") else "value"
    }))
  }
  h$close(keep)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
for (name in names(r$result)) {
  res <- r$result[[name]]
  user_error <- grepl("TRUE", name)
  expect_true("client_restore_failure" %in% res$class, info = name)
  expect_true(if (user_error) "warning" %in% res$class else "error" %in% res$class, info = name)
  if (user_error) expect_equal(res$error, "user error", info = name) else
    expect_true(grepl("could not point stdout back", res$error), info = name)
  expect_true(res$restored, info = name)
}
expect_true(r$result[["with TRUE"]]$stuck)

# A stream that was closed when the redirection started is closed again afterwards: later
# output, and a child program's, does not land in the file.
r <- run_child({
  keep <- .Call(asNamespace("client")$kestrin_set_stdout, 1L, FALSE)
  h$close(1L)
  f <- tempfile()
  out <- list()
  s <- redirect_stdout(f)
  out$print <- capture.output(print(s))
  restore_stdout(s)
  out$manual <- h$fd_flags(1L) == -1L
  with_stdout(f, cat("with\n"))
  out$with <- h$fd_flags(1L) == -1L
  out$captured <- capture_output({ cat("R\n"); system("echo child") })$stdout
  out$capture <- h$fd_flags(1L) == -1L
  cat("later\n")
  system("echo child later 2>/dev/null")
  out$file <- readLines(f)
  .Call(asNamespace("client")$kestrin_set_stdout, keep, TRUE)
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
expect_equal(r$result$print, "<saved stdout: closed when redirected, not restored>")
expect_true(r$result$manual)
expect_true(r$result$with)
expect_true(r$result$capture)
expect_equal(r$result$captured, "R\nchild\n")
expect_equal(r$result$file, "with")

# Paths as R holds them, the same file under other names, local_*() where nothing would restore,
# and saved streams that were tampered with.
r <- run_child({
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  invisible(Sys.setlocale("LC_CTYPE", "C.UTF-8"))
  dir <- tempfile("paths")
  dir.create(dir)
  out <- list()

  # A byte that is not valid UTF-8 reaches open() as it is, also in a name from list.files().
  odd <- rawToChar(c(charToRaw(dir), charToRaw("/a"), as.raw(0xff)))
  with_stdout(odd, cat("x\n"))
  out$odd <- list(exists = file.exists(odd), content = readLines(odd), files = length(dir(dir)))
  listed <- list.files(dir, full.names = TRUE)
  with_stdout(listed, cat("again\n"))
  out$listed <- list(content = readLines(odd), files = length(dir(dir)))
  utf8 <- enc2utf8(file.path(dir, "caf\u00e9"))
  with_stdout(utf8, cat("utf8\n"))
  out$utf8 <- readLines(utf8)
  unlink(dir(dir, full.names = TRUE))

  # One file, three names: shared, never emptied, in the order written.
  a <- file.path(dir, "a")
  link <- file.path(dir, "link")
  file.create(a)
  file.symlink(a, link)
  old <- setwd(dir)
  with_stdout(a, {
    cat("o1\n")
    with_stdout(file.path(dir, "b"), with_stdout(link, cat("in\n")))
    with_stderr("./a", message("e1"))
    cat("o2\n")
  })
  setwd(old)
  out$names <- readBin(a, "raw", 100L)

  # local_*() needs a running function's frame.
  f <- file.path(dir, "local")
  src <- file.path(dir, "script.R")
  writeLines(sprintf("local_stdout(%s)", deparse(f)), src)
  out$local <- c(
    source = catch(source(src)),
    eval = catch(eval(quote(local_stdout(f)), globalenv())),
    local = catch(local(local_stdout(f))),
    env = catch(local_stdout(f, .local_envir = new.env()))
  )

  # Saved streams: restored once, by their own function; copies, forgeries and edits refused.
  s <- redirect_stdout(f)
  restore_stdout(s)
  out$handles <- c(
    twice = catch(restore_stdout(s)),
    not_one = catch(restore_stdout(list(fd = 1L))),
    forged = catch(restore_stdout(structure(new.env(), class = "saved_stream"))),
    edit = catch(s$fd <- 9L),
    edit_id = catch(assign(".id", 1L, envir = s))
  )
  s <- redirect_stdout(f)
  copy <- new.env()
  for (n in ls(s, all.names = TRUE)) assign(n, get(n, envir = s), envir = copy)
  class(copy) <- "saved_stream"
  out$handles <- c(out$handles,
                   wrong_stream = catch(restore_stderr(s)),
                   copied = catch(restore_stdout(copy)))
  restore_stdout(s)
  out$fields <- list(stream = s$stream, restored = s$restored, fd = is.integer(s$fd))
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_equal(res$odd, list(exists = TRUE, content = "x", files = 1L))
expect_equal(res$listed, list(content = "again", files = 1L))
expect_equal(res$utf8, "utf8")
expect_identical(res$names, charToRaw("o1\nin\ne1\no2\n"))
for (where in names(res$local)) {
  expect_true(grepl("needs the environment of a running function", res$local[[where]]), info = where)
}
expect_true(grepl("already restored", res$handles[["twice"]]))
expect_true(grepl("must be a saved stream", res$handles[["not_one"]]))
expect_true(grepl("altered", res$handles[["forged"]]))
expect_true(grepl("locked binding", res$handles[["edit"]]))
expect_true(grepl("locked", res$handles[["edit_id"]]))
expect_true(grepl("restore_stdout", res$handles[["wrong_stream"]]))
expect_true(grepl("copied or forged", res$handles[["copied"]]))
expect_equal(res$fields, list(stream = "stdout", restored = TRUE, fd = TRUE))

# Failing code inside a capture or a scoped redirection: the error is printed where the caller
# sees it, after the streams are back, and the condition carries what was captured.
r <- run_child({
  log <- tempfile()
  out <- list()
  e <- tryCatch(capture_output({
    cat("partial\n")
    message("note")
    stop("the real reason")
  }), error = function(e) e)
  out$fields <- list(message = conditionMessage(e), class = class(e), stdout = e$stdout,
                     stderr = e$stderr, call = deparse(conditionCall(e)))
  i <- tryCatch(capture_output({
    cat("before the interrupt\n")
    tools::pskill(Sys.getpid(), tools::SIGINT)
    for (i in 1:1e6) NULL
  }), interrupt = function(e) e)
  out$interrupt <- list(class = class(i), stdout = i$stdout)
  out$warning <- tryCatch(with_stdout(log, warning("careful")),
                          warning = function(w) deparse(conditionCall(w)))
  out$value <- withVisible(with_stdout(log, invisible(7)))
  out$left <- length(list.files(tempdir(), pattern = "^(stdout|stderr|r-std)"))
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_equal(res$fields, list(message = "the real reason", class = c("simpleError", "error", "condition"),
                              stdout = "partial\n", stderr = "note\n",
                              call = deparse(quote(capture_output({
                                cat("partial\n")
                                message("note")
                                stop("the real reason")
                              })))))
expect_equal(res$interrupt, list(class = c("interrupt", "condition"), stdout = "before the interrupt\n"))
expect_equal(res$warning, 'with_stdout(log, warning("careful"))')
expect_equal(res$value, list(value = 7, visible = FALSE))
expect_equal(res$left, 0L)

for (script in c('f <- function() client::capture_output(stop("the real reason")); f()',
                 'log <- tempfile(); client::with_stderr(log, stop("the real reason"))')) {
  err <- tempfile()
  status <- system2(file.path(R.home("bin"), "Rscript"),
                    c("--vanilla", "-e", shQuote(sprintf(".libPaths(%s); %s", deparse(client_lib), script))),
                    stdout = FALSE, stderr = err)
  expect_equal(status, 1L, info = script)
  expect_true(any(grepl("Error in .*the real reason", readLines(err))), info = script)
  unlink(err)
}

# An interrupt that arrives while redirect_stdout() switches is held until the saved stream is
# the caller's: it lands after the assignment, never between the switch and the hand-back. Here
# it is sent as the last internal step of the switch returns, and R checks for it at once.
r <- run_child({
  f <- tempfile()
  suppressMessages(trace("native", where = asNamespace("client"), print = FALSE, exit = quote({
    tools::pskill(Sys.getpid(), tools::SIGINT)
    for (i in 1:5000) NULL
  })))
  stdout_was <- fd_target(1L)
  saved <- NULL
  how <- tryCatch(allowInterrupts({
    saved <- redirect_stdout(f)
    Sys.sleep(0)
    "not interrupted"
  }), interrupt = function(e) "interrupted")
  untrace("native", where = asNamespace("client"))
  out <- list(how = how, handed_back = !is.null(saved), moved = fd_target(1L) != stdout_was)
  if (!is.null(saved)) restore_stdout(saved)
  out$back <- fd_target(1L) == stdout_was
  v <- withVisible(redirect_stdout(f))
  restore_stdout(v$value)
  out$visible <- v$visible
  result(out)
})
expect_equal(r$result, list(how = "interrupted", handed_back = TRUE, moved = TRUE, back = TRUE, visible = FALSE),
             info = paste(r$stderr, collapse = "\n"))

# R's own output where it does not reach the descriptors: inside sink() and capture.output().
r <- run_child({
  sunk <- tempfile()
  out <- list()
  sink(sunk)
  out$captured <- capture_output({
    cat("r-level\n")
    message("msg")
    system("echo child")
    h$printf("C\n")
  })
  out$merged <- capture_output({ cat("1\n"); message("2"); cat("3\n") }, merge = TRUE)$stdout
  f <- tempfile()
  with_stdout(f, { cat("to the file\n"); system("echo child to the file") })
  out$file <- readLines(f)
  out$forwarded <- capture.output(value <- forward_output({
    system("echo from a child")
    h$write_fd(1L, "from C\n")
    "value"
  }))
  out$forwarded_value <- value
  # A capture around forwarding gets everything once, in its own order.
  out$nested <- capture_output(forward_output({
    system("echo out; echo err >&2")
    message("m1")
    system("echo err2 >&2")
    5
  }))
  sink()
  out$sunk <- readLines(sunk)
  out$plain <- withVisible(forward_output(invisible("pass-through")))
  result(out)
})
expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
res <- r$result
expect_equal(res$captured$stdout, "r-level\nchild\nC\n")
expect_equal(res$captured$stderr, "msg\n")
expect_equal(res$merged, "1\n2\n3\n")
# R's output is joined to the descriptor's at messages and at the end: both parts complete.
expect_equal(sort(res$file), c("child to the file", "to the file"))
expect_equal(res$forwarded, c("from a child", "from C"))
expect_equal(res$forwarded_value, "value")
expect_equal(res$nested, list(value = 5, stdout = "out\n", stderr = "err\nm1\nerr2\n"))
expect_equal(res$sunk, character(0L))
expect_equal(res$plain, list(value = "pass-through", visible = FALSE))

check_leaks()
