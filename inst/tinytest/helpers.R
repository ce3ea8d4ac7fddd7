# ---- shared by the test files ----
# Anything that touches descriptors 0-2 or the descriptor table runs in a child R started with
# Rscript, so that a failure there cannot swallow this process's output. The child gets the
# package, the native test helper, and `h$name(...)` to call it; it hands results back with
# `result(x)`, which the parent reads as `$result`.

client_lib <- dirname(find.package("client"))
client_so <- normalizePath(system.file("libs", "client.so", package = "client"))

fdhelper <- function() {
  so <- file.path(tempdir(), "fdhelper.so")
  if (!file.exists(so)) {
    src <- file.path(tempdir(), "fdhelper.c")
    file.copy("fdhelper.c", src, overwrite = TRUE)
    out <- system2(file.path(R.home("bin"), "R"), c("CMD", "SHLIB", "-o", shQuote(so), shQuote(src)),
                   stdout = TRUE, stderr = TRUE)
    if (!file.exists(so)) stop("cannot build the test helper:\n", paste(out, collapse = "\n"))
  }
  so
}

child_preamble <- function(result_file) {
  c(
    sprintf("suppressMessages(library(client, lib.loc = %s))", deparse(client_lib)),
    sprintf("client_so <- %s", deparse(client_so)),
    sprintf("fdhelper_so <- %s", deparse(fdhelper())),
    "invisible(dyn.load(fdhelper_so))",
    "h <- local({",
    "  syms <- c('th_pipe', 'th_close', 'th_dup2', 'th_open_read', 'th_open_write', 'th_read',",
    "            'th_fill', 'th_set_nonblock', 'th_set_blocking', 'th_set_nofile', 'th_fd_flags',",
    "            'th_set_fd_flags', 'th_fl_flags', 'th_alarm', 'th_open_fds', 'th_fd_id', 'th_path_id',",
    "            'th_printf', 'th_write_fd', 'th_throw_error', 'th_throw_system_error')",
    "  fns <- lapply(syms, function(s) function(...) .Call(s, ...))",
    "  setNames(fns, sub('^th_', '', syms))",
    "})",
    "# Descriptors are listed with fcntl and told apart by fstat's device and inode, never through",
    "# /proc, which macOS and the BSDs lack and a test run may hide.",
    "open_fds <- function() h$open_fds()",
    "fd_target <- function(fd) h$fd_id(fd)",
    "path_id <- function(path) h$path_id(path)",
    "cloexec <- function(fd) bitwAnd(h$fd_flags(fd), 1L) == 1L",
    sprintf("result <- function(x) saveRDS(x, %s)", deparse(result_file))
  )
}

# Runs `code` (an expression, unevaluated) in a child R; returns its exit status, what it wrote
# to descriptors 1 and 2, and what it passed to result(). The code goes into the script as one
# top-level expression, read whole before it runs, so it may even close the script's descriptor.
run_child <- function(code, timeout = 60) {
  code <- substitute(code)
  script <- tempfile(fileext = ".R")
  res <- tempfile(fileext = ".rds")
  out <- tempfile()
  err <- tempfile()
  on.exit(unlink(c(script, res, out, err)))
  writeLines(c(child_preamble(res), deparse(code, width.cutoff = 500L)), script)
  status <- suppressWarnings(system2(file.path(R.home("bin"), "Rscript"),
                                     c("--vanilla", shQuote(script)),
                                     stdout = out, stderr = err, timeout = timeout))
  list(status = status,
       stdout = readLines(out, warn = FALSE),
       stderr = readLines(err, warn = FALSE),
       result = if (file.exists(res)) readRDS(res))
}

# Descriptors this process has open, listed by the native test helper.
parent_fds <- function() {
  dyn.load(fdhelper())
  .Call("th_open_fds")
}

# Call at the top of a test file; call what it returns at the end to fail on any descriptor the
# file's tests opened in this process and did not close (or closed and did not own).
leak_guard <- function() {
  before <- parent_fds()
  function() expect_equal(parent_fds(), before, info = "descriptors open in the test process")
}
