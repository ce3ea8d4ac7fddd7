# ---- saved streams ----
# A saved stream owns the duplicate of a standard stream taken before a redirection. It can be
# restored once: after that its descriptor number may belong to another file.

new_saved_stream <- function(fd, stream) {
  saved <- new.env(parent = emptyenv())
  saved$fd <- fd
  saved$stream <- stream
  saved$restored <- FALSE
  class(saved) <- "saved_stream"
  saved
}

print.saved_stream <- function(x, ...) {
  state <- if (x$restored) "restored" else "not restored"
  cat(sprintf("<saved %s: descriptor %d, %s>\n", x$stream, x$fd, state))
  invisible(x)
}

stream_fd <- c(stdout = 1L, stderr = 2L)

set_routine <- function(stream) {
  if (stream == "stdout") kestrin_set_stdout else kestrin_set_stderr
}

# Text that R has buffered belongs to where the stream pointed when it was printed.
flush_std <- function() {
  flush(stdout())
  flush(stderr())
}

# A new descriptor for what standard descriptor `fd` refers to. Pointing a stream at itself
# changes nothing and saves a duplicate, so this needs no routine of its own.
dup_std <- function(fd) {
  .Call(set_routine(names(stream_fd)[fd]), fd, FALSE)
}

# The standard stream, stdout first, that already writes to `path`, or NA. Needs /proc; where
# there is none, nothing is found and the file is opened anew.
stream_on <- function(path) {
  path <- normalizePath(path, mustWork = FALSE)
  for (fd in stream_fd) {
    if (identical(Sys.readlink(sprintf("/proc/self/fd/%d", fd)), path)) return(fd)
  }
  NA
}

redirect_stream <- function(stream, to, drop) {
  drop <- check_flag(drop, "drop")
  target <- stream_fd[[stream]]
  if (is.character(to)) {
    path <- check_path(to, "to")
    if (drop) fail("`drop = TRUE` needs a descriptor in `to`; a file redirection always saves")
    # Opening the file again would truncate what a stream already wrote there: share it instead.
    sharing <- stream_on(path)
    flush_std()
    saved <- native(if (is.na(sharing)) {
      .Call(if (target == 1L) kestrin_set_stdout_to_file else kestrin_set_stderr_to_file, path)
    } else {
      .Call(set_routine(stream), dup_std(sharing), FALSE)
    })
  } else {
    fd <- check_fd(to, "to")
    if (fd == 0L) fail("`to` must not be 0: standard input is not a place to write to")
    flush_std()
    # The routine closes the descriptor it is given: standard streams are handed over as copies.
    saved <- native({
      if (fd <= 2L) fd <- dup_std(fd)
      .Call(set_routine(stream), fd, drop)
    })
  }
  invisible(if (!drop) new_saved_stream(saved, stream))
}

restore_stream <- function(stream, saved) {
  if (!inherits(saved, "saved_stream")) {
    fail("`saved` must be a saved stream from redirect_%s(), not %s", stream, describe(saved))
  }
  if (saved$stream != stream) {
    fail("`saved` holds the earlier %s; restore it with restore_%s()", saved$stream, saved$stream)
  }
  if (saved$restored) {
    fail("this saved %s (descriptor %d) was already restored", stream, saved$fd)
  }
  flush_std()
  native(.Call(set_routine(stream), saved$fd, TRUE))
  saved$restored <- TRUE
  invisible(NULL)
}

redirect_stdout <- function(to, drop = FALSE) redirect_stream("stdout", to, drop)
redirect_stderr <- function(to, drop = FALSE) redirect_stream("stderr", to, drop)
restore_stdout <- function(saved) restore_stream("stdout", saved)
restore_stderr <- function(saved) restore_stream("stderr", saved)

# ---- scoped redirection ----
# The code is evaluated in with_stdout()'s own frame, so that its errors name that call.

with_stdout <- function(to, code) {
  saved <- redirect_stream("stdout", to, FALSE)
  on.exit(restore_stream("stdout", saved))
  code
}

with_stderr <- function(to, code) {
  saved <- redirect_stream("stderr", to, FALSE)
  on.exit(restore_stream("stderr", saved))
  code
}

local_stream <- function(stream, to, envir) {
  if (!is.environment(envir)) fail("`.local_envir` must be an environment, not %s", describe(envir))
  # Only a running function's frame ever exits and runs the restore.
  if (!any(vapply(sys.frames(), identical, NA, envir))) {
    fail("local_%s() needs the environment of a running function; elsewhere use redirect_%s() and restore_%s()",
         stream, stream, stream)
  }
  saved <- redirect_stream(stream, to, FALSE)
  restore <- function() restore_stream(stream, saved)
  # First in, last out, so that nested redirections unwind innermost first.
  do.call(base::on.exit, list(as.call(list(restore)), TRUE, FALSE), envir = envir)
  invisible(NULL)
}

local_stdout <- function(to, .local_envir = parent.frame()) local_stream("stdout", to, .local_envir)
local_stderr <- function(to, .local_envir = parent.frame()) local_stream("stderr", to, .local_envir)

# ---- capture ----

read_captured <- function(path, raw) {
  bytes <- readBin(path, "raw", file.size(path))
  if (raw) return(bytes)
  if (any(bytes == as.raw(0L))) {
    warning("captured output holds NUL bytes, dropped from the text; use `raw = TRUE` to keep them",
            call. = FALSE)
    bytes <- bytes[bytes != as.raw(0L)]
  }
  rawToChar(bytes)
}

capture_output <- function(code, raw = FALSE, merge = FALSE) {
  raw <- check_flag(raw, "raw")
  merge <- check_flag(merge, "merge")
  out <- tempfile("stdout-")
  err <- if (merge) out else tempfile("stderr-")
  # Restores what is still redirected, innermost first: before the files are read, or on the
  # way out of an error. The code runs in this frame so that its errors name this call.
  saved <- list()
  restore <- function() for (s in rev(saved)) if (!s$restored) restore_stream(s$stream, s)
  on.exit({
    restore()
    unlink(unique(c(out, err)))
  })
  saved$out <- redirect_stream("stdout", out, FALSE)
  saved$err <- redirect_stream("stderr", err, FALSE)
  value <- code
  restore()
  nothing <- if (raw) raw(0L) else ""
  list(value = value, stdout = read_captured(out, raw),
       stderr = if (merge) nothing else read_captured(err, raw))
}
