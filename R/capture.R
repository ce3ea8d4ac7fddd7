# ---- capture_output() and forward_output() ----
# Both send descriptors 1 and 2 to temporary files for the length of the code: a capture returns
# what arrived, forwarding hands it to R's own output as it goes. Files, not pipes: a pipe read by
# the process that fills it blocks for good once it is full.

capture_output <- function(code, raw = FALSE, merge = FALSE) {
  raw <- check_flag(raw, "raw")
  merge <- check_flag(merge, "merge")
  scope <- new_scope(sys.call(), "capture")
  scope$raw <- raw
  flush_std()
  res <- in_scope(scope, function(scope) {
    reaches <- r_output_reaches_fd()
    scope$out <- tempfile("stdout-")
    scope$files <- scope$out
    native(scope_redirect(scope, "stdout", scope$out), scope$call)
    if (merge) {
      native(scope_redirect(scope, "stderr", 1L), scope$call)
    } else {
      scope$err <- tempfile("stderr-")
      scope$files <- c(scope$files, scope$err)
      native(scope_redirect(scope, "stderr", scope$err), scope$call)
    }
    for (stream in names(reaches)[!reaches]) route_r_output(scope, stream)
  }, code)
  list(value = res$value, stdout = res$captured$stdout, stderr = res$captured$stderr)
}

read_captured <- function(scope) {
  nothing <- if (scope$raw) raw(0L) else ""
  read <- function(path) if (is.null(path)) nothing else bytes_as(read_from(path, 0), scope$raw)
  list(stdout = read(scope$out), stderr = read(scope$err))
}

bytes_as <- function(bytes, raw) {
  if (raw) return(bytes)
  if (any(bytes == as.raw(0L))) {
    warning("captured output holds NUL bytes, dropped from the text; use `raw = TRUE` to keep them",
            call. = FALSE)
    bytes <- bytes[bytes != as.raw(0L)]
  }
  rawToChar(bytes)
}

forward_output <- function(code) {
  reaches <- r_output_reaches_fd()
  # R's output is the descriptors: what they receive is already where R's output goes.
  if (all(reaches)) return(code)
  scope <- new_scope(sys.call(), "forward")
  flush_std()
  res <- in_scope(scope, function(scope) {
    scope$forward <- list()
    for (stream in names(stream_fd)) {
      path <- tempfile(sprintf("%s-", stream))
      scope$files <- c(scope$files, path)
      record <- native(scope_redirect(scope, stream, path), scope$call)
      scope$forward[[stream]] <- list2env(list(path = path, offset = 0, record = record))
    }
    # Text goes where R's own output for the stream goes: through R, or, where that is the
    # descriptor itself (now pointing at the file), straight to the stream as it was.
    to_stream <- function(stream) {
      record <- scope$forward[[stream]]$record
      if (reaches[[stream]]) function(bytes) if (record$fd >= 0L) write_all(record$fd, bytes)
    }
    scope$print_stdout <- to_stream("stdout") %||% function(bytes) cat(bytes_as(bytes, FALSE))
    scope$print_stderr <- to_stream("stderr") %||%
      function(bytes) cat(bytes_as(bytes, FALSE), file = stderr())
  }, code)
  if (res$visible) res$value else invisible(res$value)
}

# Hands what arrived on the descriptors since the last time to R: stdout's text as output,
# stderr's as a message, which handlers further out may take (a knitr chunk shows it). A handler
# further out may write to the descriptor itself meanwhile (a capture around this call, writing
# the message to stderr): that goes on to the stream as it was, not back into the next round.
forward_pending <- function(scope) {
  flush_std()
  for (stream in names(scope$forward)) {
    f <- scope$forward[[stream]]
    bytes <- read_from(f$path, f$offset)
    if (!length(bytes)) next
    f$offset <- f$offset + length(bytes)
    if (stream == "stdout") {
      scope$print_stdout(bytes)
    } else {
      withRestarts({
        signalCondition(simpleMessage(bytes_as(bytes, FALSE), scope$call))
        scope$print_stderr(bytes)
      }, muffleMessage = function() NULL)
    }
  }
  flush_std()
  for (f in scope$forward) {
    written <- read_from(f$path, f$offset)
    f$offset <- f$offset + length(written)
    if (length(written) && f$record$fd >= 0L) write_all(f$record$fd, written)
  }
}

`%||%` <- function(x, y) if (is.null(x)) y else x
