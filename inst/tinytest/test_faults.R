# ---- failing system calls and interrupts, wherever the package touches descriptors ----
# faults.c is preloaded into child R processes: it makes the Nth dup, dup2, open, close, write or
# fcntl that client.so makes fail with a chosen errno. A table of calls, each driven through
# every failure point it reaches; then storms of SIGINTs, and an interrupt at the entry of every
# function of the package, one call at a time.
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

# The child: for each row, a run with nothing failing that counts the calls, then every (call,
# N, errno), with the Nth call failing alone, and with every call from the Nth on failing, as
# while the process is out of descriptors or the disk is full.
fault_code <- function(which) bquote({
  h$set_nofile(64L)  # fewer descriptors to scan for each snapshot
  rows <- .(fault_rows)[.(which)]
  errnos <- .Call("fs_errnos")
  calls <- c("dup", "dup2", "open", "close", "write", "fcntl")
  # Each case writes new files in a directory of its own: truncating a file that holds data can
  # cost milliseconds on some file systems, which flush it when it is closed.
  case_dir <- NULL
  cases_run <- 0L
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
  keep <- c(.Call("fs_dup", 1L), .Call("fs_dup", 2L))
  base <- state()
  # Puts 1 and 2 back and closes strays, so that one broken case does not spoil the next.
  repair <- function() {
    h$dup2(keep[1L], 1L)
    h$dup2(keep[2L], 2L)
    h$set_fd_flags(1L, 0L)
    h$set_fd_flags(2L, 0L)
    for (fd in setdiff(open_fds(), as.integer(names(base$target)))) h$close(fd)
  }

  run_case <- function(row, call, n, err, after) {
    s <- new.env()
    s$ran <- FALSE
    problems <- character()
    cases_run <<- cases_run + 1L
    case_dir <<- file.path(tempdir(), cases_run)
    dir.create(case_dir)
    on.exit(unlink(case_dir, recursive = TRUE))
    a <- s$before <- state()
    if (!is.null(row$setup)) row$setup(s)
    b <- state()
    reported <- list()
    .Call("fs_arm", call, n, err, client_so, after)
    out <- withCallingHandlers(
      tryCatch(list(ok = TRUE, value = row$call(s)), error = function(e) list(ok = FALSE, error = e)),
      warning = function(w) {
        if (inherits(w, "client_restore_failure")) reported[[length(reported) + 1L]] <<- w
        invokeRestart("muffleWarning")
      })
    counts <- .Call("fs_disarm")
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
      } else if (!grepl(sprintf("system error %d\\b", err), msg)) {
        problems <- c(problems, paste("the error does not name the failure:", msg))
      }
      problems <- c(problems, compare(b, post))
    } else {
      if (isTRUE(row$user_error)) problems <- c(problems, "the code's error was lost")
      if (isTRUE(row$net_zero)) problems <- c(problems, compare(b, post))
      if (!is.null(row$check)) problems <- c(problems, tryCatch(row$check(s, out$value), error = function(e) paste("the result cannot be checked:", conditionMessage(e))))
    }
    undone <- tryCatch({
      if (!is.null(row$undo)) row$undo(s, out$value, out$ok)
      "ok"
    }, error = conditionMessage)
    if (!identical(undone, "ok")) problems <- c(problems, paste("taking the call back failed:", undone))
    # Differences found again at a later stage are named once, at the first.
    later <- function(stage, d) sprintf("%s: %s", stage, setdiff(d, c(problems, sub("^[^:]*: ", "", problems))))
    problems <- c(problems, later("after taking it back", compare(a, state())))
    # R still redirects and captures.
    alive <- tryCatch({
      with_stdout(path("alive"), cat("alive\n"))
      c(if (!identical(readLines(path("alive")), "alive")) "with_stdout() no longer writes to its file",
        if (!identical(capture_output(cat("ok"))$stdout, "ok")) "capture_output() no longer captures")
    }, error = function(e) paste("R no longer redirects:", conditionMessage(e)))
    problems <- c(problems, alive, later("after a redirection", compare(a, state())))
    if (length(problems)) repair()
    list(call = call, n = n, errno = names(errnos)[match(err, errnos)], after = after, fired = counts[["fired"]],
         error = if (!out$ok) conditionMessage(e), problems = unique(problems), counts = counts)
  }

  out <- list(preloaded = .Call("fs_preloaded"), rows = list())
  for (row in rows) {
    dry <- run_case(row, "", 0L, 0L, FALSE)
    res <- list(name = row$name, dry = dry, sequence = .Call("fs_log"), cases = 0L, fired = 0L,
                failures = list())
    for (call in calls) {
      for (n in seq_len(dry$counts[[call]])) {
        # An interrupted call is retried, and signals do not come for ever: EINTR fails once only.
        for (err in errnos) for (after in c(FALSE, if (err != errnos[["EINTR"]]) TRUE)) {
          case <- run_case(row, call, n, err, after)
          res$cases <- res$cases + 1L
          res$fired <- res$fired + (case$fired > 0L)
          if (length(case$problems)) res$failures[[length(res$failures) + 1L]] <- case
        }
      }
    }
    out$rows[[length(out$rows) + 1L]] <- res
    result(out)  # after each row, so that a crash loses only the row it happened in
  }
})

# ---- interrupts ----
# What each storm and sweep runs: the scoped calls, and a redirection and its restore. After an
# interrupt, a caller who holds a saved stream that is not restored restores it (`pair`).
interrupt_ops <- quote({
  # A file would do as well, but truncating one that holds data can take milliseconds.
  f <- "/dev/null"
  scoped <- function() {
    local_stdout(f)
    cat("x\n")
    invisible(NULL)
  }
  pair <- NULL
  ops <- list(
    with_stdout = function() with_stdout(f, cat("x\n")),
    local_stdout = scoped,
    with_stderr = function() with_stderr(f, message("x")),
    capture_output = function() capture_output({ cat("x\n"); message("y") }),
    `redirect_stdout + restore_stdout` = function() {
      pair <<- redirect_stdout(f)
      restore_stdout(pair)
    })
  keep <- c(.Call("fs_dup", 1L), .Call("fs_dup", 2L))
  fds <- open_fds()
  targets <- c(fd_target(1L), fd_target(2L))
  files <- function() list.files(tempdir(), all.files = TRUE, no.. = TRUE)
  base_files <- files()
  # What an interrupted op left behind, put right for the next one: "stream" (1 or 2 not back,
  # or a saved stream that cannot be restored), "fds" (descriptors opened or closed), "files"
  # (files left in tempdir()).
  aftermath <- function() {
    lost <- !is.null(pair) && !tryCatch({
      if (!pair$restored) restore_stdout(pair)
      TRUE
    }, error = function(e) FALSE)
    pair <<- NULL
    stream <- lost || fd_target(1L) != targets[1L] || fd_target(2L) != targets[2L]
    now <- open_fds()
    left <- setdiff(files(), base_files)
    if (stream) {
      h$dup2(keep[1L], 1L)
      h$dup2(keep[2L], 2L)
    }
    # A connection left open is closed by the garbage collector, not behind R's back.
    if (!identical(now, fds)) suppressWarnings(gc())
    for (fd in setdiff(open_fds(), fds)) h$close(fd)
    unlink(file.path(tempdir(), left), recursive = TRUE)
    c(stream = stream, fds = !identical(now, fds), files = length(left))
  }
  # Raises an interrupt still pending after an op, so that it cannot land in the checks.
  drain <- function() tryCatch(allowInterrupts({ .Call("fs_check_interrupt"); FALSE }),
                               interrupt = function(e) TRUE)
})

# A storm: a thread sends `signals` SIGINTs, 0.2-3 ms apart, while the ops run in turn, each
# under tryCatch(interrupt = ). Interrupts are held outside the ops, so that they land only there.
storm_code <- function(signals, seed) bquote({
  h$set_nofile(64L)
  .(interrupt_ops)
  stats <- matrix(0L, length(ops), 5L, dimnames = list(names(ops), c("runs", "interrupted", "stream", "fds", "files")))
  stray <- 0L
  .Call("fs_storm_start", .(signals), 200L, 3000L, .(seed))
  suspendInterrupts({
    i <- 0L
    while (.Call("fs_storm_sent") < .(signals)) {
      op <- names(ops)[i %% length(ops) + 1L]
      i <- i + 1L
      stray <- stray + drain()
      hit <- tryCatch(allowInterrupts({ ops[[op]](); FALSE }), interrupt = function(e) TRUE)
      stats[op, ] <- stats[op, ] + c(1L, hit, aftermath())
    }
  })
  sent <- .Call("fs_storm_stop")
  stray <- stray + drain()
  result(list(sent = sent, stats = stats, stray = stray, fds = identical(open_fds(), fds)))
})

# The sweep: an interrupt at the entry of every function of the package, at each of its calls
# in each op, one at a time. The tracer runs in a frame of its own, not in the function's.
sweep_code <- bquote({
  h$set_nofile(64L)
  .(interrupt_ops)
  ns <- asNamespace("client")
  fns <- Filter(function(n) is.function(get(n, envir = ns)) && !startsWith(n, ".on"), ls(ns, all.names = TRUE))
  ctr <- new.env()
  ctr$at <- 0L
  tracer <- substitute((function(ctr) {
    ctr$n <- ctr$n + 1L
    if (ctr$n == ctr$at) {
      tools::pskill(Sys.getpid(), tools::SIGINT)
      for (i in 1:5000) NULL
    }
  })(CTR), list(CTR = ctr))
  runs <- 0L
  broken <- list()
  called <- character()
  suspendInterrupts(for (fn in fns) {
    suppressMessages(trace(fn, tracer = tracer, where = ns, print = FALSE))
    for (op in names(ops)) {
      ctr$n <- 0L
      ctr$at <- 0L
      allowInterrupts(ops[[op]]())
      aftermath()
      if (ctr$n > 0L) called <- union(called, fn)
      for (k in seq_len(ctr$n)) {
        ctr$n <- 0L
        ctr$at <- k
        hit <- tryCatch(allowInterrupts({ ops[[op]](); FALSE }), interrupt = function(e) TRUE)
        ctr$at <- 0L
        late <- drain()
        left <- aftermath()
        runs <- runs + 1L
        if (any(left > 0L)) {
          broken[[length(broken) + 1L]] <- list(fn = fn, call = k, op = op, hit = hit || late,
                                                 left = names(left)[left > 0L])
        }
      }
    }
    suppressMessages(untrace(fn, where = ns))
  })
  result(list(runs = runs, called = called, broken = broken))
})

# ---- running it all at once ----
row_names <- vapply(eval(fault_rows), `[[`, "", "name")
n_rows <- length(row_names)
# A child that dies is started again after the row it died in, which is reported as such.
run_rows <- function(which) {
  done <- list()
  preloaded <- NA
  while (length(which)) {
    r <- faults_child(fault_code(which), preload = TRUE)
    got <- r$result$rows
    done <- c(done, got)
    if (!is.null(r$result)) preloaded <- r$result$preloaded
    if (length(got) < length(which)) {
      lost <- which[length(got) + 1L]
      done <- c(done, list(list(name = row_names[lost], crashed = TRUE, status = r$status,
                                stderr = tail(r$stderr, 20L))))
    }
    which <- which[-seq_len(length(got) + 1L)]
  }
  list(rows = done, preloaded = preloaded)
}
storm_signals <- 5000L
storm_children <- 4L
timed <- function(f) function() {
  started <- proc.time()[["elapsed"]]
  list(value = f(), seconds = proc.time()[["elapsed"]] - started)
}
jobs <- c(
  lapply(split(seq_len(n_rows), seq_len(n_rows) %% 2L), function(w) timed(function() run_rows(w))),
  lapply(seq_len(storm_children), function(k) timed(function() {
    faults_child(storm_code(storm_signals %/% storm_children, k), preload = FALSE)
  })),
  list(timed(function() faults_child(sweep_code, preload = FALSE))))
started <- proc.time()[["elapsed"]]
done <- in_parallel(jobs)
elapsed <- proc.time()[["elapsed"]] - started

# ---- what they found ----
fault_runs <- done[1:2]
storms <- done[2L + seq_len(storm_children)]
sweep <- done[[3L + storm_children]]
rows <- unlist(lapply(fault_runs, function(r) r$value$rows), recursive = FALSE)
rows <- rows[order(match(vapply(rows, `[[`, "", "name"), row_names))]
preloaded <- vapply(fault_runs, function(r) isTRUE(r$value$preloaded), NA)
expect_true(all(preloaded), info = "faults.so is preloaded into the children (LD_PRELOAD)")

calls <- c("dup", "dup2", "open", "close", "write", "fcntl")
describe_case <- function(f) {
  sprintf("%s #%d%s %s: %s%s", f$call, f$n, if (f$after) "+" else "", f$errno,
          paste(f$problems, collapse = "; "), if (is.null(f$error)) "" else paste0(" [error: ", f$error, "]"))
}
for (row in rows) {
  if (isTRUE(row$crashed)) {
    expect_true(FALSE, info = sprintf("%s: the child died (status %s): %s", row$name, row$status,
                                      paste(row$stderr, collapse = "\n")))
    next
  }
  expect_equal(row$dry$problems, character(0L), info = sprintf("%s, with no call failing", row$name))
  counted <- row$dry$counts[calls]
  expect_true(sum(counted) > 0L, info = sprintf("%s makes no descriptor call to fail", row$name))
  for (call in calls[counted > 0L]) {
    failures <- Filter(function(f) f$call == call, row$failures)
    expect_true(length(failures) == 0L, info = sprintf(
      "%s, %s failing (calls: %s): %d of %d cases wrong; %s", row$name, call,
      paste(row$sequence, collapse = " "), length(failures), counted[[call]] * 9L,
      paste(vapply(head(failures, 4L), describe_case, ""), collapse = " | ")))
  }
}

for (r in storms) expect_equal(r$value$status, 0L, info = paste(r$value$stderr, collapse = "\n"))
storms <- Filter(function(r) !is.null(r$value$result), storms)
totals <- Reduce(`+`, lapply(storms, function(r) r$value$result$stats))
sent <- sum(vapply(storms, function(r) r$value$result$sent, 0L))
expect_equal(sent, storm_signals)
storm_info <- sprintf("%s: %d runs, %d interrupted, %d streams left broken, %d descriptor tables changed, %d files left",
                      rownames(totals), totals[, "runs"], totals[, "interrupted"], totals[, "stream"],
                      totals[, "fds"], totals[, "files"])
for (i in seq_len(nrow(totals))) {
  expect_true(totals[i, "interrupted"] > 0L, info = storm_info[i])
  expect_true(all(totals[i, c("stream", "fds", "files")] == 0L), info = storm_info[i])
}

expect_equal(sweep$value$status, 0L, info = paste(sweep$value$stderr, collapse = "\n"))
res <- sweep$value$result
expect_true(res$runs > 0L && length(res$called) > 0L, info = "the sweep interrupted no function")
broken <- vapply(res$broken, function(b) sprintf("%s, call %d, in %s: %s", b$fn, b$call, b$op,
                                                  paste(b$left, collapse = "+")), "")
expect_equal(length(broken), 0L, info = sprintf("interrupted at entry (%d runs through %s): %s", res$runs,
                                                 paste(res$called, collapse = ", "), paste(broken, collapse = " | ")))
check_leaks()
