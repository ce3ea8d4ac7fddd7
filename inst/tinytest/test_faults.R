# ---- failing system calls and interrupts, wherever the package touches descriptors ----
# faults.c is preloaded into child R processes: it makes the Nth dup, dup2, open, close, write or
# fcntl that client.so makes fail with a chosen errno. A table of calls, each driven through
# every failure point it reaches; then storms of SIGINTs, and an interrupt at the entry and at the
# exit of every function of the package, one call at a time.
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

# Built without libR, so that the shells that start R can preload it as well.
faults_so <- local({
  so <- file.path(tempdir(), "faults.so")
  if (!file.exists(so)) {
    src <- file.path(tempdir(), "faults.c")
    mk <- file.path(tempdir(), "faults.mk")
    file.copy("faults.c", src, overwrite = TRUE)
    writeLines(c("LIBR =", "PKG_LIBS = -pthread"), mk)
    out <- system2(file.path(R.home("bin"), "R"), c("CMD", "SHLIB", "-o", shQuote(so), shQuote(src)),
                   env = paste0("R_MAKEVARS_USER=", shQuote(mk)), stdout = TRUE, stderr = TRUE)
    if (!file.exists(so)) stop("cannot build the fault shim:\n", paste(out, collapse = "\n"))
  }
  so
})

# As run_child(), with faults.so loaded, and preloaded when `preload`. `code` is an expression,
# values already in it. faults.so goes first, before a sanitizer runtime already preloaded: a
# call then reaches it straight from client.so, as the shim's count requires, and the runtime
# is told not to insist on coming first.
faults_child <- function(code, preload, timeout = 300) {
  script <- tempfile(fileext = ".R")
  res <- tempfile(fileext = ".rds")
  out <- tempfile()
  err <- tempfile()
  on.exit(unlink(c(script, res, out, err)))
  writeLines(c(child_preamble(res), sprintf("invisible(dyn.load(%s))", deparse(faults_so)),
               deparse(code, width.cutoff = 500L)), script)
  env <- NULL
  if (preload) {
    pre <- Sys.getenv("LD_PRELOAD")
    asan <- Sys.getenv("ASAN_OPTIONS")
    env <- c(paste0("LD_PRELOAD=", shQuote(paste(c(faults_so, pre[nzchar(pre)]), collapse = " "))),
             if (nzchar(asan)) paste0("ASAN_OPTIONS=", shQuote(paste0(asan, ":verify_asan_link_order=0"))))
  }
  # Its stdout is a file, never /dev/null, which the interrupted calls write to.
  status <- suppressWarnings(system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", shQuote(script)),
                                     stdout = out, stderr = err, env = env, timeout = timeout))
  list(status = status, stdout = readLines(out, warn = FALSE), stderr = readLines(err, warn = FALSE),
       result = if (file.exists(res)) readRDS(res))
}

# Runs functions at once, each in a fork of this process; a list of their values.
in_parallel <- function(fns) {
  jobs <- lapply(fns, function(f) parallel::mcparallel(f(), silent = TRUE))
  unname(parallel::mccollect(jobs))
}

# ---- the table: every exported call that touches descriptors ----
# A row: `call(s)` is the call under test; `setup(s)` prepares what it needs, `undo(s, value, ok)`
# takes back what it did, `check(s, value)` names what is wrong after a success (NULL when
# nothing is). `net_zero`: a success leaves the descriptors as they were. `user_error`: the
# code raises "user error" once it runs (s$ran), and that error must come out, whatever else
# fails. The state check after each case is the same for every row.
fault_rows <- quote(list(
  list(name = "fd_write(fd, data)",
       setup = function(s) s$fd <- h$open_write(new_file("w")),
       call = function(s) fd_write(s$fd, "bytes\n"),
       undo = function(s, v, ok) h$close(s$fd), net_zero = TRUE),
  list(name = "redirect_stdout(path)",
       call = function(s) redirect_stdout(path("o")),
       check = function(s, v) if (fd_target(1L) != path_id(path("o"))) "stdout is not on the file",
       undo = function(s, v, ok) if (ok) restore_stdout(v)),
  list(name = "redirect_stderr(path)",
       call = function(s) redirect_stderr(path("e")),
       check = function(s, v) if (fd_target(2L) != path_id(path("e"))) "stderr is not on the file",
       undo = function(s, v, ok) if (ok) restore_stderr(v)),
  list(name = "redirect_stdout(fd >= 3)",
       setup = function(s) s$fd <- h$open_write(new_file("fd")),
       call = function(s) redirect_stdout(s$fd),
       check = function(s, v) c(if (fd_target(1L) != path_id(path("fd"))) "stdout is not on the descriptor's file",
                                if (h$fd_flags(s$fd) != -1L) "the descriptor given was not taken over"),
       undo = function(s, v, ok) if (ok) restore_stdout(v) else h$close(s$fd)),
  list(name = "redirect_stderr(fd >= 3, drop = TRUE)",
       setup = function(s) {
         s$keep <- .Call("fs_dup", 2L)
         s$fd <- h$open_write(new_file("fdd"))
       },
       call = function(s) redirect_stderr(s$fd, drop = TRUE),
       check = function(s, v) if (fd_target(2L) != path_id(path("fdd"))) "stderr is not on the descriptor's file",
       undo = function(s, v, ok) {
         h$dup2(s$keep, 2L)
         h$close(s$keep)
         if (!ok) h$close(s$fd)
       }),
  list(name = "redirect_stdout(2)",
       call = function(s) redirect_stdout(2L),
       check = function(s, v) if (fd_target(1L) != fd_target(2L)) "stdout is not on stderr's file",
       undo = function(s, v, ok) if (ok) restore_stdout(v)),
  list(name = "redirect_stderr(1)",
       call = function(s) redirect_stderr(1L),
       check = function(s, v) if (fd_target(2L) != fd_target(1L)) "stderr is not on stdout's file",
       undo = function(s, v, ok) if (ok) restore_stderr(v)),
  list(name = "redirect_stdout(2, drop = TRUE)",
       setup = function(s) s$keep <- .Call("fs_dup", 1L),
       call = function(s) redirect_stdout(2L, drop = TRUE),
       check = function(s, v) if (fd_target(1L) != fd_target(2L)) "stdout is not on stderr's file",
       undo = function(s, v, ok) {
         h$dup2(s$keep, 1L)
         h$close(s$keep)
       }),
  list(name = "redirect_stderr(1, drop = TRUE)",
       setup = function(s) s$keep <- .Call("fs_dup", 2L),
       call = function(s) redirect_stderr(1L, drop = TRUE),
       check = function(s, v) if (fd_target(2L) != fd_target(1L)) "stderr is not on stdout's file",
       undo = function(s, v, ok) {
         h$dup2(s$keep, 2L)
         h$close(s$keep)
       }),
  list(name = "redirect_stderr(path) onto the file stdout writes to",
       setup = function(s) {
         s$out <- redirect_stdout(path("sh"))
         cat("kept\n")
       },
       call = function(s) redirect_stderr(path("sh")),
       check = function(s, v) c(if (fd_target(2L) != fd_target(1L)) "stderr is not on stdout's file",
                                if (!identical(readLines(path("sh")), "kept")) "the shared file was truncated"),
       undo = function(s, v, ok) {
         if (ok) restore_stderr(v)
         restore_stdout(s$out)
       }),
  list(name = "redirect_stderr(path) onto a file only a saved stream writes to",
       setup = function(s) {
         s$first <- redirect_stdout(path("sv"))
         cat("kept\n")
         s$second <- redirect_stdout(path("sv2"))
       },
       call = function(s) redirect_stderr(path("sv")),
       check = function(s, v) c(if (fd_target(2L) != path_id(path("sv"))) "stderr is not on the file",
                                if (!identical(readLines(path("sv")), "kept")) "the shared file was truncated"),
       undo = function(s, v, ok) {
         if (ok) restore_stderr(v)
         restore_stdout(s$second)
         restore_stdout(s$first)
       }),
  list(name = "restore_stdout(saved)",
       setup = function(s) s$saved <- redirect_stdout(path("ro")),
       call = function(s) restore_stdout(s$saved),
       check = function(s, v) compare(s$before, state()),
       undo = function(s, v, ok) if (!ok) restore_stdout(s$saved)),
  list(name = "restore_stderr(saved) of a redirection to stdout",
       setup = function(s) s$saved <- redirect_stderr(1L),
       call = function(s) restore_stderr(s$saved),
       check = function(s, v) compare(s$before, state()),
       undo = function(s, v, ok) if (!ok) restore_stderr(s$saved)),
  list(name = "with_stdout(path, code)",
       call = function(s) with_stdout(path("ws"), cat("text\n")), net_zero = TRUE,
       check = function(s, v) if (!identical(readLines(path("ws")), "text")) "the file does not hold the output"),
  list(name = "with_stdout(path, code that fails)", user_error = TRUE, net_zero = TRUE,
       call = function(s) with_stdout(path("wse"), { s$ran <- TRUE; stop("user error") })),
  list(name = "with_stderr(path, code)",
       call = function(s) with_stderr(path("we"), message("text")), net_zero = TRUE,
       check = function(s, v) if (!identical(readLines(path("we")), "text")) "the file does not hold the output"),
  list(name = "with_stdout(path, with_stderr(path, code))", net_zero = TRUE,
       call = function(s) with_stdout(path("n1"), with_stderr(path("n2"), { cat("a\n"); message("b") })),
       check = function(s, v) if (!identical(c(readLines(path("n1")), readLines(path("n2"))), c("a", "b")))
         "the files do not hold the output"),
  list(name = "local_stdout(path) in a function", net_zero = TRUE,
       call = function(s) (function() {
         local_stdout(path("l"))
         cat("local\n")
         invisible(NULL)
       })(),
       check = function(s, v) if (!identical(readLines(path("l")), "local")) "the file does not hold the output"),
  list(name = "local_stderr(path) in a function that fails", user_error = TRUE, net_zero = TRUE,
       call = function(s) (function() {
         local_stderr(path("le"))
         s$ran <- TRUE
         stop("user error")
       })()),
  list(name = "capture_output(code)", net_zero = TRUE,
       call = function(s) capture_output({ cat("out\n"); message("err") }),
       check = function(s, v) if (!identical(v[c("stdout", "stderr")], list(stdout = "out\n", stderr = "err\n")))
         "the output was not captured"),
  list(name = "capture_output(code, merge = TRUE)", net_zero = TRUE,
       call = function(s) capture_output({ cat("out\n"); message("err") }, merge = TRUE),
       check = function(s, v) if (!identical(v[c("stdout", "stderr")], list(stdout = "out\nerr\n", stderr = "")))
         "the output was not captured"),
  list(name = "capture_output(code that fails)", user_error = TRUE, net_zero = TRUE,
       call = function(s) capture_output({ cat("out\n"); s$ran <- TRUE; stop("user error") })),
  list(name = "forward_output(code) inside capture.output()", net_zero = TRUE,
       call = function(s) capture.output(forward_output({ h$write_fd(1L, "from C\n"); 7 })),
       check = function(s, v) if (!"from C" %in% v) "the output was not forwarded"),
  list(name = "disable_inheritance()", net_zero = TRUE,
       setup = function(s) {
         fds <- open_fds()
         s$flags <- setNames(vapply(fds, h$fd_flags, 0L), fds)
       },
       call = function(s) disable_inheritance(),
       undo = function(s, v, ok) for (fd in names(s$flags)) h$set_fd_flags(as.integer(fd), s$flags[[fd]]))
))

# ---- forked copies, so that one fault cannot spoil the next case ----
# isolated(n, step, recover) runs step(1, base), ..., step(n, base) in forked copies of the child
# and returns their results; `base` is what was open in the copy when it started (opened()).
# After a step that left something behind ($dirty), the copy puts the descriptors back and asks
# recover(base) whether the calls work again as in a fresh process; if not (the package's own
# records may be out of step with the descriptors), the copy stops and the next starts afresh
# from the child's state. A copy that dies, or makes no progress for `stall` seconds, is
# reported at the step it was in, and the steps before it run again.
isolation <- quote({
  keep <- c(.Call("fs_dup", 1L), .Call("fs_dup", 2L))  # to put 1 and 2 back with
  iso_dir <- file.path(tempdir(), "isolated")
  dir.create(iso_dir)
  files <- function() setdiff(list.files(tempdir(), all.files = TRUE, no.. = TRUE), "isolated")
  # What was open when a copy started: descriptors, and R's connections.
  opened <- function() list(fds = open_fds(), conns = getAllConnections())
  # Closes the connections opened since `base`; whether there were any.
  close_conns <- function(base) {
    new <- setdiff(getAllConnections(), base$conns)
    what <- vapply(new, function(con) summary(getConnection(con))$description, "")
    for (con in new) try(close(getConnection(con)), silent = TRUE)
    what
  }
  # Points 1 and 2 back, with close-on-exec clear, and closes what was not open in `base`.
  repair <- function(base) {
    h$dup2(keep[1L], 1L)
    h$dup2(keep[2L], 2L)
    h$set_fd_flags(1L, 0L)
    h$set_fd_flags(2L, 0L)
    close_conns(base)
    for (fd in setdiff(open_fds(), base$fds)) h$close(fd)
  }
  isolated <- function(n, step, recover = function(base) FALSE, stall = 60) {
    results <- vector("list", n)
    lost <- integer(0L)
    i <- 1L
    while (i <= n) {
      progress <- tempfile(tmpdir = iso_dir)
      # Forked with interrupts held, which the copy inherits: a stray SIGINT (one that reaches
      # the copy after its storm was drained) stays pending until a step lets interrupts in,
      # instead of escaping the code that hands the copy's results back.
      job <- suspendInterrupts(parallel::mcparallel({
        con <- file(progress, "wb")
        base <- opened()
        out <- list()
        for (j in i:n) {
          r <- if (j %in% lost) list(lost = TRUE) else step(j, base)
          out[[length(out) + 1L]] <- r
          writeBin(j, con)
          flush(con)
          if (isTRUE(r$dirty) && !suspendInterrupts({
            repair(base)
            isTRUE(recover(base))
          })) break
        }
        close(con)
        out
      }))
      last <- i - 1L
      since <- Sys.time()
      repeat {
        got <- parallel::mccollect(job, wait = FALSE, timeout = 1)
        if (!is.null(got)) break
        done <- if (file.exists(progress)) readBin(progress, "integer", n + 1L) else integer(0L)
        if (length(done) && done[length(done)] > last) {
          last <- done[length(done)]
          since <- Sys.time()
        } else if (difftime(Sys.time(), since, units = "secs") > stall) {
          tools::pskill(job$pid, tools::SIGKILL)
          got <- suppressWarnings(parallel::mccollect(job))
          got[[1L]] <- "stalled"
          break
        }
      }
      got <- got[[1L]]
      if (is.list(got)) {
        for (k in seq_along(got)) if (!isTRUE(got[[k]]$lost)) results[[i + k - 1L]] <- got[[k]]
        i <- i + length(got)
      } else {
        done <- if (file.exists(progress)) readBin(progress, "integer", n + 1L) else integer(0L)
        at <- if (length(done)) done[length(done)] + 1L else i
        what <- if (identical(got, "stalled")) sprintf("no progress for %d s", stall) else
          if (inherits(got, "try-error")) paste("an error escaped:", trimws(as.character(got))) else
            "the process died"
        results[[at]] <- list(dirty = TRUE, died = what)
        lost <- c(lost, at)
      }
      unlink(progress)
    }
    results
  }
})

# The child: for each row, a run with nothing failing that counts the calls; then every (call,
# N, errno) with the Nth call failing alone; where the failure lasts (ENOSPC, EIO on open, write
# and close), with the later calls failing too; and with the descriptor table full, N - 1 slots
# free ("dup/open": dup and open fail with EMFILE once they are taken, until a close frees one).
# EBADF is not injected on a descriptor the call itself has just opened or used (the shim counts
# those cases as "impossible"): only another thread could have closed it.
fault_code <- function(which) bquote({
  h$set_nofile(64L)  # fewer descriptors to scan for each snapshot
  .(isolation)
  rows <- .(fault_rows)[.(which)]
  errnos <- .Call("fs_errnos")
  calls <- c("dup", "dup2", "open", "close", "write", "fcntl")
  # Each case writes new files in a directory of its own: truncating a file that holds data can
  # cost milliseconds on some file systems, which flush it when it is closed.
  case_dir <- NULL
  path <- function(name) file.path(case_dir, name)
  new_file <- function(name) {
    file.create(path(name))
    path(name)
  }
  # The open descriptors and what each refers to; whether 1 and 2 reach started programs.
  state <- function() {
    fds <- open_fds()
    list(target = setNames(vapply(fds, fd_target, ""), fds),
         cloexec = c(`1` = cloexec(1L), `2` = cloexec(2L)))
  }
  compare <- function(was, now) {
    a <- was$target
    b <- now$target
    both <- intersect(names(a), names(b))
    c(sprintf("descriptor %s left open", setdiff(names(b), names(a))),
      sprintf("descriptor %s closed", setdiff(names(a), names(b))),
      sprintf("descriptor %s points elsewhere", both[a[both] != b[both]]),
      sprintf("close-on-exec of descriptor %s changed", names(was$cloexec)[was$cloexec != now$cloexec]))
  }

  run_case <- function(row, call, n, err, mode) {
    s <- new.env()
    s$ran <- FALSE
    problems <- character()
    case_dir <<- tempfile("case")
    dir.create(case_dir)
    on.exit(unlink(case_dir, recursive = TRUE))
    a <- s$before <- state()
    if (!is.null(row$setup)) row$setup(s)
    b <- state()
    reported <- list()
    .Call("fs_arm", call, n, err, client_so, mode)
    out <- withCallingHandlers(
      tryCatch(list(ok = TRUE, value = row$call(s)), error = function(e) list(ok = FALSE, error = e)),
      warning = function(w) {
        if (inherits(w, "client_restore_failure")) reported[[length(reported) + 1L]] <<- w
        invokeRestart("muffleWarning")
      })
    counts <- .Call("fs_disarm")
    # EBADF on a call given descriptor 1 or 2 says that stream is closed: the package may treat
    # it as such, and close it again after a restore.
    told_closed <- if (err == errnos[["EBADF"]] && counts[["fd"]] %in% 1:2) counts[["fd"]]
    compare_told <- function(was, now) {
      setdiff(compare(was, now), sprintf(c("descriptor %d closed", "close-on-exec of descriptor %d changed"),
                                         told_closed))
    }
    e <- out$error
    if (inherits(e, "client_restore_failure")) reported <- c(reported, list(e))
    # A stream the package could not point back is handed over in the condition: restore it.
    for (cond in reported) {
      saved <- cond$saved
      done <- tryCatch({
        if (identical(saved$stream, "stderr")) restore_stderr(saved) else restore_stdout(saved)
        "ok"
      }, error = conditionMessage)
      if (!identical(done, "ok")) problems <- c(problems, paste("the stream handed over by the restore failure cannot be restored:", done))
    }
    post <- state()
    if (counts[["fired"]] >= .Call("fs_retry_limit")) {
      problems <- c(problems, sprintf("the call was retried %d times: the failure never ends the retries", counts[["fired"]]))
    }
    if (!out$ok) {
      msg <- conditionMessage(e)
      if (isTRUE(row$user_error) && s$ran) {
        if (!identical(msg, "user error")) problems <- c(problems, paste("the code's error was replaced by:", msg))
      } else if (counts[["fired"]] == 0L) {
        problems <- c(problems, paste("an error though no call failed:", msg))
      } else if (is.null(told_closed) && !grepl(sprintf("system error %d\\b", err), msg)) {
        problems <- c(problems, paste("the error does not name the failure:", msg))
      }
      problems <- c(problems, compare_told(b, post))
    } else {
      if (isTRUE(row$user_error)) problems <- c(problems, "the code's error was lost")
      if (isTRUE(row$net_zero)) problems <- c(problems, compare_told(b, post))
      if (!is.null(row$check)) problems <- c(problems, tryCatch(row$check(s, out$value), error = function(e) paste("the result cannot be checked:", conditionMessage(e))))
    }
    undone <- tryCatch({
      if (!is.null(row$undo)) row$undo(s, out$value, out$ok)
      "ok"
    }, error = conditionMessage)
    if (!identical(undone, "ok")) problems <- c(problems, paste("taking the call back failed:", undone))
    # Differences found again at a later stage are named once, at the first.
    later <- function(stage, d) sprintf("%s: %s", stage, setdiff(d, c(problems, sub("^[^:]*: ", "", problems))))
    problems <- c(problems, later("after taking it back", compare_told(a, state())))
    # R still redirects and captures.
    alive <- tryCatch({
      with_stdout(path("alive"), cat("alive\n"))
      c(if (!identical(readLines(path("alive")), "alive")) "with_stdout() no longer writes to its file",
        if (!identical(capture_output(cat("ok"))$stdout, "ok")) "capture_output() no longer captures")
    }, error = function(e) paste("R no longer redirects:", conditionMessage(e)))
    problems <- c(problems, alive, later("after a redirection", compare_told(a, state())))
    # A stream the package was told is closed may be closed now: put it back.
    if (!is.null(told_closed)) {
      h$dup2(keep[told_closed], told_closed)
      h$set_fd_flags(told_closed, 0L)
    }
    list(call = call, n = n, errno = names(errnos)[match(err, errnos)], mode = mode,
         fired = counts[["fired"]], error = if (!out$ok) conditionMessage(e),
         problems = unique(problems), counts = counts, dirty = length(problems) > 0L)
  }

  dry <- isolated(length(rows), function(i, base) {
    r <- run_case(rows[[i]], "", 0L, 0L, "once")
    r$sequence <- .Call("fs_log")
    r
  })
  cases <- list()
  for (i in seq_along(rows)) {
    counts <- dry[[i]]$counts
    if (is.null(counts)) next
    add <- function(call, n, err, mode) {
      cases[[length(cases) + 1L]] <<- list(row = i, call = call, n = n, err = err, mode = mode)
    }
    for (call in calls) for (n in seq_len(counts[[call]])) {
      for (err in errnos) add(call, n, err, "once")
      if (call %in% c("open", "write", "close")) for (err in errnos[c("ENOSPC", "EIO")]) add(call, n, err, "after")
    }
    for (n in seq_len(counts[["dup"]] + counts[["open"]])) add("dup/open", n, errnos[["EMFILE"]], "full")
  }
  # Recovered when every row without faults does as it did in a fresh process.
  done <- isolated(length(cases), function(j, base) {
    k <- cases[[j]]
    run_case(rows[[k$row]], if (k$mode == "full") "" else k$call, k$n, k$err, k$mode)
  }, function(base) {
    all(vapply(seq_along(rows), function(i) {
      identical(run_case(rows[[i]], "", 0L, 0L, "once")$problems, dry[[i]]$problems)
    }, NA))
  })
  out <- lapply(seq_along(rows), function(i) {
    mine <- vapply(cases, `[[`, 0L, "row") == i
    list(name = rows[[i]]$name, dry = dry[[i]], cases = sum(mine),
         fired = sum(vapply(done[mine], function(d) isTRUE(d$fired > 0L), NA)),
         impossible = sum(vapply(done[mine], function(d) isTRUE(d$counts[["impossible"]] > 0L), NA)),
         failures = Filter(function(d) isTRUE(d$dirty), Map(function(d, k) {
           d[c("call", "n", "mode")] <- k[c("call", "n", "mode")]
           d$errno <- names(errnos)[match(k$err, errnos)]
           d
         }, done[mine], cases[mine])))
  })
  result(list(preloaded = .Call("fs_preloaded"), rows = out))
})

# ---- interrupts ----
# What each storm and sweep runs: the scoped calls, and a redirection and its restore. After an
# interrupt, a caller who holds a saved stream that is not restored restores it (`pair`).
interrupt_ops <- quote({
  # A file would do as well, but truncating one that holds data can take milliseconds.
  f <- "/dev/null"
  targets <- c(fd_target(1L), fd_target(2L))
  base_files <- files()
  # Each op notes, while redirected, which of 1 and 2 it moved; `expected` is what it should.
  noted <- NULL
  note <- function() noted <<- c(fd_target(1L) != targets[1L], fd_target(2L) != targets[2L])
  scoped <- function() {
    local_stdout(f)
    cat("x\n")
    note()
  }
  pair <- NULL
  ops <- list(
    with_stdout = function() with_stdout(f, { cat("x\n"); note() }),
    local_stdout = scoped,
    with_stderr = function() with_stderr(f, { message("x"); note() }),
    capture_output = function() capture_output({ cat("x\n"); message("y"); note() }),
    `redirect_stdout + restore_stdout` = function() {
      pair <<- redirect_stdout(f)
      note()
      restore_stdout(pair)
    })
  expected <- list(c(TRUE, FALSE), c(TRUE, FALSE), c(FALSE, TRUE), c(TRUE, TRUE), c(TRUE, FALSE))
  # Whether every op, without interrupts, moves the streams it should, raises nothing and leaves
  # nothing behind: after a broken op and a repair behind the package's back, its records may
  # no longer match the descriptors.
  working <- function(base) {
    all(vapply(seq_along(ops), function(i) {
      noted <<- NULL
      ok <- tryCatch({
        ops[[i]]()
        TRUE
      }, error = function(e) FALSE)
      ok && identical(noted, expected[[i]]) && !any(aftermath(base) > 0L)
    }, NA))
  }
  # What an interrupted op left behind: "stream" (1 or 2 not back, or a saved stream the caller
  # holds that cannot be restored), "fds" (descriptors or connections opened or closed since
  # `base`, then closed), "files" (files left in tempdir(), then removed). How, in `left_behind`.
  left_behind <- character(0L)
  aftermath <- function(base) {
    lost <- !is.null(pair) && !tryCatch({
      if (!pair$restored) restore_stdout(pair)
      TRUE
    }, error = function(e) FALSE)
    pair <<- NULL
    moved <- c(stdout = fd_target(1L) != targets[1L], stderr = fd_target(2L) != targets[2L])
    conns <- close_conns(base)
    now <- open_fds()
    left <- setdiff(files(), base_files)
    unlink(file.path(tempdir(), left), recursive = TRUE)
    left_behind <<- c(if (lost) "the saved stream cannot be restored",
                      sprintf("%s not back", names(moved)[moved]),
                      sprintf("connection to %s left open", conns),
                      sprintf("descriptor %d left open", setdiff(now, base$fds)),
                      sprintf("descriptor %d closed", setdiff(base$fds, now)),
                      sprintf("%s left in tempdir()", left))
    c(stream = lost || any(moved), fds = length(conns) > 0L || !identical(now, base$fds),
      files = length(left))
  }
  # Runs an op with interrupts allowed: "done", "interrupted", or the message of an error it
  # raised instead (an interrupt must come out as one).
  run_op <- function(op) {
    tryCatch(allowInterrupts({ ops[[op]](); "done" }), interrupt = function(e) "interrupted",
             error = function(e) paste("error:", conditionMessage(e)))
  }
  # Raises an interrupt still pending after an op, so that it cannot land in the checks.
  drain <- function() tryCatch(allowInterrupts({ .Call("fs_check_interrupt"); FALSE }),
                               interrupt = function(e) TRUE)
})

# A storm: a thread sends `signals` SIGINTs, 0.2-3 ms apart, while the ops run in turn, each
# under tryCatch(interrupt = ). Interrupts are held outside the ops, so that they land only there.
# After an op that left something behind, the storm pauses for a repair; if the ops no longer
# work as they should, the copy stops and the next goes on with the signals left. An op that
# broke `give_up` times is dropped from the turn: its failure is known.
storm_code <- function(signals, seed, give_up = 3L) bquote({
  h$set_nofile(64L)
  .(isolation)
  .(interrupt_ops)
  stats <- matrix(0L, length(ops), 6L, dimnames = list(names(ops), c("runs", "interrupted", "errors", "stream", "fds", "files")))
  broken <- setNames(integer(length(ops)), names(ops))
  examples <- character(0L)
  # Once without interrupts first, so that the copies start with their functions compiled.
  base <- opened()
  if (!working(base)) stop("the ops do not work as they should even without interrupts")
  left <- .(signals)
  copies <- 0L
  died <- character(0L)
  while (left > 0L && any(broken < .(give_up))) {
    copies <- copies + 1L
    r <- isolated(1L, function(j, base) {
      # A new copy shares its memory with the child until it writes there, which a collection
      # does everywhere: collect first, so that the storm meets the ops at their usual pace.
      gc()
      mine <- stats * 0L
      sent <- 0L
      dirty <- FALSE
      turn <- names(ops)[broken < .(give_up)]
      while (!dirty && sent < left && length(turn)) {
        found <- 0L
        # Started with interrupts held: one landing before the ops run would escape the copy.
        suspendInterrupts({
          .Call("fs_storm_start", left - sent, 200L, 3000L, .(seed) * 100000L + copies * 100L + sum(mine))
          i <- 0L
          while (!any(found > 0L) && .Call("fs_storm_sent") < left - sent) {
            op <- turn[i %% length(turn) + 1L]
            i <- i + 1L
            drain()
            how <- run_op(op)
            found <- c(errors = startsWith(how, "error"), aftermath(base))
            mine[op, ] <- mine[op, ] + c(1L, how != "done", found)
          }
          sent <- sent + .Call("fs_storm_stop")
          drain()
        })
        if (any(found > 0L)) {
          why <- c(if (found[["errors"]]) how, left_behind)
          examples <<- c(examples, sprintf("%s: %s", op, paste(why, collapse = ", ")))
          broken[[op]] <<- broken[[op]] + 1L
          turn <- names(ops)[broken < .(give_up)]
          dirty <- !suspendInterrupts({
            repair(base)
            working(base)
          })
        }
      }
      list(sent = sent, stats = mine, broken = broken, examples = examples, dirty = dirty)
    })[[1L]]
    # A copy that dies takes its counts with it; its signals go to the next one. Once per
    # storm is reported (see `died` below), twice fails it.
    if (!is.null(r$died)) {
      died <- c(died, r$died)
      if (length(died) > 1L) {
        result(list(died = died, stats = stats, sent = .(signals) - left))
        q(status = 1L)
      }
      next
    }
    stats <- stats + r$stats
    broken <- r$broken
    examples <- r$examples
    left <- left - r$sent
  }
  result(list(sent = .(signals) - left, stats = stats, copies = copies, examples = examples,
              gave_up = names(broken)[broken >= .(give_up)], died = died))
})

# The sweep: an interrupt at the entry and at the exit of every function of the package, at each
# of its calls in each op, one at a time. The tracer runs in a frame of its own, not in the
# function's; at the exit, after the function's own code, as its last on.exit() step.
sweep_code <- bquote({
  h$set_nofile(64L)
  .(isolation)
  .(interrupt_ops)
  ns <- asNamespace("client")
  fns <- Filter(function(n) is.function(get(n, envir = ns)) && !startsWith(n, ".on"), ls(ns, all.names = TRUE))
  ctr <- new.env()
  # Counted per point, "entry <function>" and "exit <function>". redirect_stream() has no exit
  # point: its return is the hand-back of the saved stream, and a tracer there would add code,
  # run after its held step, that the function does not have.
  exits <- setdiff(fns, "redirect_stream")
  ctr$point <- ""
  ctr$at <- 0L
  ctr$calls <- setNames(integer(length(fns) + length(exits)), c(paste("entry", fns), paste("exit", exits)))
  tracer <- function(point) substitute((function(ctr, point) {
    ctr$calls[[point]] <- ctr$calls[[point]] + 1L
    if (point == ctr$point && ctr$calls[[point]] == ctr$at) {
      tools::pskill(Sys.getpid(), tools::SIGINT)
      for (i in 1:5000) NULL
    }
  })(CTR, POINT), list(CTR = ctr, POINT = point))
  for (fn in fns) {
    suppressMessages(trace(fn, tracer = tracer(paste("entry", fn)), where = ns, print = FALSE,
                           exit = if (fn %in% exits) tracer(paste("exit", fn))))
  }
  # The calls each op makes to each function, uninterrupted.
  steps <- list()
  for (op in names(ops)) {
    ctr$calls[] <- 0L
    ops[[op]]()
    for (point in names(ctr$calls)) for (k in seq_len(ctr$calls[[point]])) steps[[length(steps) + 1L]] <- list(point = point, op = op, k = k)
  }
  done <- isolated(length(steps), function(j, base) {
    st <- steps[[j]]
    ctr$calls[] <- 0L
    ctr$point <- st$point
    ctr$at <- st$k
    pair <<- NULL
    suspendInterrupts({
      how <- run_op(st$op)
      ctr$point <- ""
      drain()
      left <- aftermath(base)
    })
    error <- startsWith(how, "error")
    list(left = c(if (error) how, left_behind), dirty = error || any(left > 0L))
  })
  result(list(runs = length(steps), called = unique(sub("^\\S+ ", "", vapply(steps, `[[`, "", "point"))),
              broken = Filter(function(d) isTRUE(d$dirty), Map(c, steps, done))))
})

# ---- running it all at once ----
row_names <- vapply(eval(fault_rows), `[[`, "", "name")
n_rows <- length(row_names)
storm_signals <- 5000L
storm_children <- 4L
storm_give_up <- 3L
# All the children run at once: two share the rows, four the storm's signals (a storm lasts as
# long as its signals take, 0.2-3 ms apart), and one sweeps.
jobs <- c(
  lapply(split(seq_len(n_rows), seq_len(n_rows) %% 2L), function(w) function() {
    faults_child(fault_code(w), preload = TRUE)
  }),
  lapply(seq_len(storm_children), function(k) function() {
    faults_child(storm_code(storm_signals %/% storm_children, k, storm_give_up), preload = FALSE)
  }),
  list(function() faults_child(sweep_code, preload = FALSE)))
done <- in_parallel(jobs)

# ---- what they found ----
fault_runs <- done[1:2]
storms <- done[2L + seq_len(storm_children)]
sweep <- done[[3L + storm_children]]
for (r in fault_runs) expect_equal(r$status, 0L, info = paste(tail(r$stderr, 30L), collapse = "\n"))
rows <- unlist(lapply(fault_runs, function(r) r$result$rows), recursive = FALSE)
rows <- rows[order(match(vapply(rows, `[[`, "", "name"), row_names))]
expect_equal(length(rows), n_rows, info = "rows reported by the children")
preloaded <- vapply(fault_runs, function(r) isTRUE(r$result$preloaded), NA)
expect_true(all(preloaded), info = "faults.so is preloaded into the children (LD_PRELOAD)")

calls <- c("dup", "dup2", "open", "close", "write", "fcntl", "dup/open")
describe_case <- function(f) {
  what <- switch(f$mode, once = sprintf("%s #%d %s", f$call, f$n, f$errno),
                 after = sprintf("%s #%d and later %s", f$call, f$n, f$errno),
                 full = sprintf("%d descriptors free", f$n - 1L))
  if (!is.null(f$died)) return(paste0(what, ": ", f$died))
  sprintf("%s: %s%s", what, paste(f$problems, collapse = "; "),
          if (is.null(f$error)) "" else paste0(" [error: ", f$error, "]"))
}
for (row in rows) {
  dry <- row$dry
  expect_equal(c(dry$died, dry$problems), character(0L), info = sprintf("%s, with no call failing", row$name))
  counted <- c(dry$counts[calls[1:6]], `dup/open` = sum(dry$counts[c("dup", "open")]))
  expect_true(sum(counted) > 0L, info = sprintf("%s makes no descriptor call to fail", row$name))
  for (call in calls[counted > 0L]) {
    failures <- Filter(function(f) f$call == call, row$failures)
    expect_true(length(failures) == 0L, info = sprintf(
      "%s, %s failing (calls: %s): %d cases wrong; %s", row$name, call,
      paste(dry$sequence, collapse = " "), length(failures),
      paste(vapply(head(failures, 4L), describe_case, ""), collapse = " | ")))
  }
}

for (r in storms) expect_equal(r$status, 0L, info = paste(c(r$result$died, tail(r$stderr, 30L)), collapse = "\n"))
storms <- Filter(function(r) !is.null(r$result$stats), storms)
totals <- Reduce(`+`, lapply(storms, function(r) r$result$stats))
sent <- sum(vapply(storms, function(r) r$result$sent, 0L))
expect_equal(sent, storm_signals, info = "SIGINTs sent")
examples <- unlist(lapply(storms, function(r) r$result$examples))
storm_info <- sprintf("%s: %d runs, %d interrupted, %d errors instead, %d streams left broken, %d descriptor tables changed, %d files left%s",
                      rownames(totals), totals[, "runs"], totals[, "interrupted"], totals[, "errors"], totals[, "stream"],
                      totals[, "fds"], totals[, "files"],
                      vapply(rownames(totals), function(op) {
                        mine <- examples[startsWith(examples, paste0(op, ": "))]
                        if (length(mine)) paste0(" (dropped after ", storm_give_up, " per storm; ",
                                                 paste(head(mine, 3L), collapse = " | "), ")") else ""
                      }, ""))
died <- unlist(lapply(storms, function(r) r$result$died))
for (i in seq_len(nrow(totals))) {
  expect_true(totals[i, "interrupted"] > 0L, info = storm_info[i])
  expect_true(all(totals[i, c("errors", "stream", "fds", "files")] == 0L),
              info = paste(c(storm_info[i], died), collapse = "\n"))
}

expect_equal(sweep$status, 0L, info = paste(tail(sweep$stderr, 30L), collapse = "\n"))
res <- sweep$result
expect_true(isTRUE(res$runs > 0L), info = "the sweep interrupted no function")
broken <- vapply(res$broken, function(b) {
  sprintf("%s, call %d, in %s: %s", b$point, b$k, b$op, if (is.null(b$died)) paste(b$left, collapse = ", ") else b$died)
}, "")
expect_equal(length(broken), 0L, info = sprintf("interrupted at entry and exit (%d runs through %s): %s", res$runs,
                                                 paste(res$called, collapse = ", "), paste(broken, collapse = " | ")))
check_leaks()
