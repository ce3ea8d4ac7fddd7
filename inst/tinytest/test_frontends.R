# ---- front ends: where R's own output does not go through descriptors 1 and 2 ----
# Every case runs in every front end: Rscript as a terminal, inside sink(), inside
# capture.output(), inside tinytest's expect_stdout(), in a knitr chunk, and in a program that
# embeds R as GUIs do (embed.c). Only where R's output goes through descriptors 1 and 2 (the
# terminal) is the interleaving of R's output with the descriptors' exact; elsewhere every part
# must be complete and in its own order, and nothing captured may reach the front end.
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()
skipped <- character(0L)

# Run in each child. Every line a case prints starts with the front end's tag, so that front
# ends sharing a process tell their output apart; run_row() prints "TAG before CASE" and
# "TAG after CASE" around each case, on stdout and as a message, to cut what a front end showed
# into cases. `within(run, pattern)` runs a case inside the front end; `pattern` matches what
# the front end must show on stdout (for expect_stdout()).
cases_code <- quote({
  say <- function(t, x) cat(t, " ", x, "\n", sep = "")
  shout <- function(t, x) message(t, " ", x)
  # Compiled code: C stdio to stdout, write(2) to descriptor 2.
  cout <- function(t, x) h$printf(paste0(t, " ", x, "\n"))
  cerr <- function(t, x) h$write_fd(2L, paste0(t, " ", x, "\n"))
  shell <- function(t, out, err = NULL) {
    system(paste0("echo '", t, " ", out, "'",
                  if (!is.null(err)) paste0("; echo '", t, " ", err, "' >&2")))
  }
  # Every kind of output, twice over, so that the order within each kind shows. C stdio holds
  # "c1" until system() flushes it, so it comes before the child's lines in every front end;
  # nothing but the capture's end flushes "c2".
  mixed <- function(t) {
    say(t, "r1"); shout(t, "m1"); cout(t, "c1"); shell(t, "s1", "se1"); cerr(t, "ce1")
    say(t, "r2 a longer line"); shout(t, "m2"); cout(t, "c2")
    42
  }
  cases <- list(
    capture = function(t) list(plain = capture_output(mixed(t)),
                               merged = capture_output(mixed(t), merge = TRUE),
                               raw = capture_output(say(t, "raw"), raw = TRUE)$stdout),
    error = function(t) {
      f <- function() capture_output({
        say(t, "p1"); shout(t, "pm"); shell(t, "ps", "pse"); stop("the real reason")
      })
      e <- tryCatch(f(), error = identity)
      list(class = class(e), message = conditionMessage(e), stdout = e$stdout, stderr = e$stderr)
    },
    forward = function(t) {
      v <- withVisible(forward_output({
        shell(t, "fs", "fse"); cout(t, "fc"); cerr(t, "fce"); "val"
      }))
      w <- withVisible(forward_output(invisible(7)))
      # Forwarded before the error goes on: a calling handler outside sees it after "fe".
      e <- tryCatch(withCallingHandlers(forward_output({ shell(t, "fe"); stop("forward failed") }),
                                        error = function(e) say(t, "fh")),
                    error = conditionMessage)
      list(value = v, invisible = w, error = e)
    },
    to_file = function(t) {
      f <- tempfile("to-file-", scratch)
      with_stdout(f, {
        say(t, "w1"); cout(t, "w2"); shell(t, "w3"); say(t, "w4 a longer line"); cout(t, "w5")
      })
      readLines(f)
    }
  )
  # What the front end shows on stdout between the markers: R's lines inside with_stdout() go to
  # the file, in every front end.
  shows <- list(capture = function(t) "", error = function(t) "",
                forward = function(t) paste0(t, " ", c("fs", "fc", "fe", "fh"), "\n",
                                             collapse = ""),
                to_file = function(t) "")
  scratch <- tempfile("scratch-")
  dir.create(scratch)
  state <- function() {
    list(descriptors = open_fds(), stdout = fd_target(1L), stderr = fd_target(2L),
         sinks = sink.number(), message_sink = sink.number(type = "message"),
         temp_files = list.files(tempdir(), all.files = TRUE, no.. = TRUE))
  }
  # Runs every case in one front end; records its result or error, and what it left changed.
  run_row <- function(t, within) {
    res <- list()
    for (name in names(cases)) {
      run <- function() {
        say(t, paste("before", name)); shout(t, paste("before", name))
        value <- cases[[name]](t)
        say(t, paste("after", name)); shout(t, paste("after", name))
        value
      }
      pattern <- paste0("^", t, " before ", name, "\n", shows[[name]](t), t, " after ", name, "$")
      was <- state()
      got <- tryCatch(within(run, pattern), error = function(e) list(error = conditionMessage(e)))
      now <- state()
      got$left <- names(was)[!mapply(identical, was, now)]
      res[[name]] <- got
    }
    res
  }
  plain <- function(run, pattern) list(value = run())
})

# ---- what every front end must see ----
tagged <- function(lines, t) {
  lines <- lines[startsWith(lines, paste0(t, " "))]
  if (length(lines)) lines else character(0L)
}
# The lines between a case's markers, or NA when the markers are not there in order.
between <- function(lines, t, name) {
  a <- match(paste(t, "before", name), lines)
  b <- match(paste(t, "after", name), lines)
  if (is.na(a) || is.na(b) || b < a) return(NA)
  lines[seq_len(b - a - 1L) + a]
}
text_of <- function(lines) paste0(lines, "\n", collapse = "")
# TRUE when `text` holds exactly the lines of `groups`, nothing lost or repeated, each group's
# lines in their own order.
complete <- function(text, groups) {
  want <- unlist(groups)
  if (!is.character(text) || length(text) != 1L || !endsWith(text, "\n")) return(FALSE)
  got <- strsplit(text, "\n", fixed = TRUE)[[1L]]
  identical(sort(got), sort(want)) &&
    all(vapply(groups, function(g) identical(got[got %in% g], g), NA))
}
# A captured text: exactly `order` where the interleaving is exact, else complete in `groups`.
expect_captured <- function(text, order, groups, exact, info) {
  if (exact) expect_identical(text, text_of(order), info = info)
  else expect_true(complete(text, groups), info = paste0(info, ": ", deparse(text)))
}
# An error reported where the caller sees it: a line starting "Error" with the message on it or
# on the next line.
reports <- function(lines, msg) {
  at <- grep("^Error", lines)
  length(at) > 0L && any(grepl(msg, lines[sort(unique(c(at, at + 1L)))], fixed = TRUE))
}

# One front end's results. `out` and `err` are the tagged lines it showed on stdout and as
# messages (NULL where the front end keeps no record: expect_stdout() checks its own pattern).
check_row <- function(t, row, out, err, exact = FALSE) {
  tl <- function(...) paste(t, c(...))
  seen <- function(lines, name) if (is.null(lines)) NULL else between(lines, t, name)
  expect_identical(names(row), c("capture", "error", "forward", "to_file"), info = paste(t, "ran"))
  for (name in names(row)) {
    got <- row[[name]]
    info <- sprintf("%s, %s", t, name)
    expect_null(got$error, info = info)
    expect_identical(got$left, character(0L), info = paste(info, "left changed"))
    if (!is.null(got$error)) next
    if (!is.null(got$ok)) expect_true(got$ok, info = paste(info, got$diff))
    # Nothing captured reaches the front end; what is forwarded does, in order.
    if (!is.null(err)) {
      want <- if (name == "forward") tl("fse", "fce") else character(0L)
      expect_identical(seen(err, name), want, info = paste(info, "messages shown"))
    }
    if (!is.null(out) && name != "to_file") {
      want <- if (name == "forward") tl("fs", "fc", "fe", "fh") else character(0L)
      expect_identical(seen(out, name), want, info = paste(info, "shown"))
    }
    v <- got$value
    if (name == "capture") {
      expect_identical(v$plain$value, 42, info = info)
      expect_captured(v$plain$stdout, tl("r1", "c1", "s1", "r2 a longer line", "c2"),
                      list(tl("r1", "r2 a longer line"), tl("c1", "s1", "c2")),
                      exact, paste(info, "stdout"))
      expect_captured(v$plain$stderr, tl("m1", "se1", "ce1", "m2"),
                      list(tl("m1", "m2"), tl("se1", "ce1")), exact, paste(info, "stderr"))
      # 2>&1: what went to the descriptors is in one order whatever the front end.
      expect_captured(v$merged$stdout,
                      tl("r1", "m1", "c1", "s1", "se1", "ce1", "r2 a longer line", "m2", "c2"),
                      list(tl("r1", "r2 a longer line"), tl("m1", "m2"),
                           tl("c1", "s1", "se1", "ce1", "c2")),
                      exact, paste(info, "merged"))
      expect_identical(v$merged$stderr, "", info = paste(info, "merged stderr"))
      expect_identical(v$raw, charToRaw(text_of(tl("raw"))), info = paste(info, "raw"))
    } else if (name == "error") {
      expect_identical(v$class, c("simpleError", "error", "condition"), info = info)
      expect_identical(v$message, "the real reason", info = info)
      expect_captured(v$stdout, tl("p1", "ps"), list(tl("p1"), tl("ps")), exact,
                      paste(info, "stdout"))
      expect_captured(v$stderr, tl("pm", "pse"), list(tl("pm"), tl("pse")), exact,
                      paste(info, "stderr"))
    } else if (name == "forward") {
      expect_identical(v$value, list(value = "val", visible = TRUE), info = info)
      expect_identical(v$invisible, list(value = 7, visible = FALSE), info = info)
      expect_identical(v$error, "forward failed", info = info)
    } else if (name == "to_file") {
      r_lines <- tl("w1", "w4 a longer line")
      fd_lines <- tl("w2", "w3", "w5")
      if (exact) expect_identical(v, tl("w1", "w2", "w3", "w4 a longer line", "w5"), info = info)
      expect_identical(v[v %in% fd_lines], fd_lines, info = paste(info, deparse(v)))
      if (!is.null(out)) {
        expect_identical(seen(out, name), character(0L), info = paste(info, "shown"))
      }
      # R's lines in the file once each and in order, none overwritten.
      expect_identical(v[v %in% r_lines], r_lines, info = paste(info, deparse(v)))
      expect_true(all(v %in% c(r_lines, fd_lines)), info = paste(info, deparse(v)))
    }
  }
}

# ---- Rscript: the terminal, sink(), capture.output(), expect_stdout() ----
r <- eval(bquote(run_child({
  .(cases_code)
  fronts <- list(
    terminal = plain,
    sink = function(run, pattern) {
      f <- tempfile("sink-", scratch)
      sink(f)
      value <- tryCatch(run(), finally = sink())
      list(value = value, out = readLines(f))
    },
    capture.output = function(run, pattern) {
      value <- NULL
      out <- capture.output(value <- run())
      list(value = value, out = out)
    },
    expect_stdout = function(run, pattern) {
      value <- NULL
      ok <- expect_stdout(value <- run(), pattern)
      list(value = value, ok = isTRUE(ok), diff = attr(ok, "diff"))
    }
  )
  expect_stdout <- getExportedValue("tinytest", "expect_stdout")
  result(Map(run_row, names(fronts), fronts))
  # Left to R's own error reporting: the message must reach stderr, not the capture's file.
  f <- function() capture_output(stop("the real reason"))
  f()
})))
expect_equal(r$status, 1L, info = paste(r$stderr, collapse = "\n"))
expect_true(reports(r$stderr, "the real reason"), info = paste(r$stderr, collapse = "\n"))
rows <- r$result
check_row("terminal", rows$terminal, tagged(r$stdout, "terminal"), tagged(r$stderr, "terminal"),
          exact = TRUE)
for (t in c("sink", "capture.output", "expect_stdout")) {
  out <- if (t != "expect_stdout") unlist(lapply(rows[[t]], `[[`, "out"), use.names = FALSE)
  check_row(t, rows[[t]], out, tagged(r$stderr, t))
  expect_identical(tagged(r$stdout, t), character(0L), info = paste(t, "went past the front end"))
}

# with_stderr(): R's report of an error that ends the process goes where stderr pointed before.
log <- tempfile("log-")
r <- eval(bquote(run_child(with_stderr(.(log), {
  message("into the log")
  stop("not for the log")
}))))
expect_equal(r$status, 1L)
expect_true(reports(r$stderr, "not for the log"), info = paste(r$stderr, collapse = "\n"))
expect_identical(if (file.exists(log)) readLines(log), "into the log")
unlink(log)

# ---- a GUI-like front end: R embedded with console callbacks ----
# Built against libR with R's compiler and flags, a user Makevars included (sanitizer runs set
# one). Where R is no shared library or has no headers, or there is no compiler, there is nothing
# to build against: the row is skipped. Returns the program, or NA with the reason for a skip or
# the compiler's output for a failure.
build_embed <- function() {
  exe <- file.path(tempdir(), "embed")
  src <- file.path(tempdir(), "embed.c")
  file.copy("embed.c", src, overwrite = TRUE)
  config <- function(what) {
    out <- suppressWarnings(system2(file.path(R.home("bin"), "R"), c("CMD", "config", what),
                                    stdout = TRUE, stderr = TRUE))
    if (!is.null(attr(out, "status"))) NA_character_ else paste(out, collapse = " ")
  }
  cc <- config("CC")
  ld <- config("--ldflags")
  skip <- function(why) structure(NA, skip = why)
  if (is.na(ld)) return(skip("R is not built as a shared library"))
  if (!file.exists(file.path(R.home("include"), "Rembedded.h"))) {
    return(skip("R's headers are missing"))
  }
  if (is.na(cc) || !nzchar(Sys.which(strsplit(cc, " ", fixed = TRUE)[[1L]][1L]))) {
    return(skip("R's C compiler is missing"))
  }
  out <- suppressWarnings(system(paste(cc, config("CFLAGS"), config("--cppflags"), shQuote(src),
                                       "-o", shQuote(exe), config("LDFLAGS"), ld,
                                       paste0("-Wl,-rpath,", R.home("lib")),
                                       "2>&1"), intern = TRUE))
  if (!file.exists(exe)) return(structure(NA, failure = paste(out, collapse = "\n")))
  exe
}

# As run_child(), in the embedded program; also returns what R wrote to its console callback.
run_embedded <- function(exe, code, timeout = 60) {
  files <- tempfile(c("script-", "result-", "console-out-", "console-err-", "out-", "err-"))
  on.exit(unlink(files))
  writeLines(c(child_preamble(files[2]), deparse(code, width.cutoff = 500L)), files[1])
  status <- suppressWarnings(system2(exe, shQuote(files[c(1L, 3L, 4L)]), stdout = files[5],
                                     stderr = files[6], timeout = timeout,
                                     env = paste0("R_HOME=", shQuote(R.home()))))
  lines <- function(f) if (file.exists(f)) readLines(f, warn = FALSE) else character(0L)
  list(status = status, console_out = lines(files[3]), console_err = lines(files[4]),
       stdout = lines(files[5]), stderr = lines(files[6]),
       result = if (file.exists(files[2])) readRDS(files[2]))
}

exe <- build_embed()
if (is.na(exe)) {
  expect_null(attr(exe, "failure"), info = paste("building embed.c:", attr(exe, "failure")))
  skipped <- c(skipped, attr(exe, "skip"))
} else {
  r <- run_embedded(exe, bquote({
    .(cases_code)
    # R holds no C stream here, so nothing flushes C stdio: compiled code writes with write(2).
    cout <- function(t, x) h$write_fd(1L, paste0(t, " ", x, "\n"))
    result(run_row("gui", plain))
    f <- function() capture_output(stop("the real reason"))
    f()
  }))
  info <- paste(c(r$console_err, r$stderr), collapse = "\n")
  expect_equal(r$status, 1L, info = info)
  expect_true(reports(r$console_err, "the real reason"), info = info)
  check_row("gui", r$result, tagged(r$console_out, "gui"), tagged(r$console_err, "gui"))
  expect_identical(tagged(c(r$stdout, r$stderr), "gui"), character(0L),
                   info = "went past the console callback")
}

# ---- knitr: a chunk captures through a sink and calling handlers ----
if (!requireNamespace("knitr", quietly = TRUE)) {
  skipped <- c(skipped, "knitr is not installed")
} else {
  r <- eval(bquote(run_child({
    .(cases_code)
    rmd <- file.path(scratch, "frontends.Rmd")
    md <- file.path(scratch, "frontends.md")
    # Output and messages are marked in the document, so that each front end channel is read apart.
    writeLines(c(
      "```{r, include = FALSE}",
      "knitr::opts_chunk$set(echo = FALSE, comment = NA, error = TRUE)",
      "knitr::knit_hooks$set(",
      "  output = function(x, options) gsub('(?m)^(?=.)', 'OUT|', x, perl = TRUE),",
      "  message = function(x, options) gsub('(?m)^(?=.)', 'ERR|', x, perl = TRUE))",
      "```", "",
      "```{r}", "knitted <- run_row('knitr', plain)", "```", "",
      "```{r}", "f <- function() capture_output(stop('the real reason'))", "f()", "```"), rmd)
    knitr::knit(rmd, md, quiet = TRUE, envir = globalenv())
    result(list(rows = knitted, doc = readLines(md)))
  })))
  expect_equal(r$status, 0L, info = paste(r$stderr, collapse = "\n"))
  doc <- r$result$doc
  part <- function(mark) tagged(sub(mark, "", doc[startsWith(doc, mark)], fixed = TRUE), "knitr")
  check_row("knitr", r$result$rows, part("OUT|"), part("ERR|"))
  expect_true(reports(doc, "the real reason"), info = paste(doc, collapse = "\n"))
  expect_identical(tagged(c(r$stdout, r$stderr), "knitr"), character(0L),
                   info = "went past the document")
}

check_leaks()
if (length(skipped)) exit_file(paste(skipped, collapse = "; "))
