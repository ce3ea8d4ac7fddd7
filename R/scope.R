# ---- scopes: redirections that undo themselves ----
# A scope holds the redirections made for one with_*(), local_*(), capture_output() or
# forward_output() call, and undoes them together, innermost first, however the scope ends. The
# switches and the bookkeeping that guarantees their undoing happen with interrupts held, and so
# does the undoing: only the user's code runs with interrupts allowed.
#
# Where R's own output does not reach descriptors 1 and 2 (a sink is active, or a front end
# takes R's console output through callbacks), a scope routes it there itself: R's output goes
# to a sink of the scope's, which is copied to the descriptor at every message and at the end.

new_scope <- function(call, kind) {
  scope <- new.env(parent = emptyenv())
  scope$call <- call
  scope$kind <- kind # "with", "local", "capture" or "forward"
  scope$records <- list()
  scope$routes <- list() # R-level output routed to a descriptor, stdout's first
  scope$files <- character()
  scope$closed <- FALSE
  scope
}

# Where R's own output goes now: TRUE when straight to the descriptor.
r_output_reaches_fd <- function() {
  console <- console_is_fd()
  c(stdout = console && sink.number() == 0L,
    stderr = console && sink.number(type = "message") == 2L)
}

# Whether R's console is descriptors 1 and 2, as it is when R runs as its own program (R,
# Rscript); a program that embeds R takes the console through callbacks instead, and there is no
# way to ask R which. Decided once.
console_is_fd <- function() {
  if (is.null(state$console_fd)) {
    exe <- commandArgs()[1L]
    exec <- normalizePath(file.path(R.home("bin"), "exec"), mustWork = FALSE)
    state$console_fd <- .Platform$GUI %in% c("X11", "unknown", "none") && !is.na(exe) &&
      basename(exe) == "R" && startsWith(normalizePath(exe, mustWork = FALSE), exec)
  }
  state$console_fd
}

# Redirects `stream` for the scope; the record joins the scope at once, so that it is undone
# even when a later step of opening the scope fails.
scope_redirect <- function(scope, stream, to) {
  record <- switch_stream(stream, to, FALSE)
  scope$records[[length(scope$records) + 1L]] <- record
  record
}

# Sends R's own output for `stream` through a temporary file that sync_routes() copies to the
# descriptor: a sink for stdout, the message sink for stderr.
route_r_output <- function(scope, stream) {
  route <- new.env(parent = emptyenv())
  route$stream <- stream
  route$path <- tempfile(sprintf("r-%s-", stream))
  scope$files <- c(scope$files, route$path)
  route$offset <- 0
  route$con <- file(route$path, open = "w")
  if (stream == "stdout") {
    sink(route$con)
    route$depth <- sink.number()
  } else {
    route$previous <- sink.number(type = "message")
    sink(route$con, type = "message")
  }
  scope$routes[[stream]] <- route
}

unroute_r_output <- function(route) {
  if (route$stream == "stdout") {
    while (sink.number() >= route$depth) sink()
  } else if (route$previous == 2L) {
    sink(type = "message")
  } else {
    try(sink(getConnection(route$previous), type = "message"), silent = TRUE)
  }
  close(route$con)
}

# What was added to `path` since `offset` bytes. Interrupts are held so that none can leave the
# connection open: the close runs in a frame inside the held region.
read_from <- function(path, offset) suspendInterrupts(read_bytes(path, offset))

read_bytes <- function(path, offset) {
  size <- file.size(path)
  if (is.na(size) || size <= offset) return(raw(0L))
  con <- file(path, open = "rb")
  on.exit(close(con))
  if (offset > 0) seek(con, offset)
  readBin(con, "raw", size - offset)
}

# Writes all of `bytes` to `fd`, however many write calls it takes.
write_all <- function(fd, bytes) {
  while (length(bytes)) {
    n <- .Call(kestrin_write, fd, bytes)
    if (n == 0L) Sys.sleep(0.001) else bytes <- bytes[-seq_len(n)]
  }
}

# Copies R's routed output to the descriptors, stdout's first: called before anything else is
# written (a message) and at the end, so that each keeps its place relative to the other.
sync_routes <- function(scope) {
  flush_std()
  for (route in scope$routes) {
    flush(route$con)
    bytes <- read_from(route$path, route$offset)
    route$offset <- route$offset + length(bytes)
    write_all(stream_fd[[route$stream]], bytes)
  }
  if (scope$kind == "forward") forward_pending(scope)
}

# Undoes the scope's redirections, innermost first. A restore that fails leaves its saved stream
# active and is reported with it, as a warning when `cond` (an error or interrupt) is on its way,
# else as an error: the user's own error is never replaced.
close_scope <- function(scope, cond = NULL) suspendInterrupts({
  if (scope$closed) return(invisible(NULL))
  scope$closed <- TRUE
  # R's routed output reaches the descriptors also when the code left by a jump.
  try(sync_routes(scope), silent = TRUE)
  for (route in rev(scope$routes)) try(unroute_r_output(route), silent = TRUE)
  flush_std()
  failures <- list()
  for (record in rev(scope$records)) {
    if (!record$active) next
    tryCatch(undo(record), error = function(e) {
      failures[[length(failures) + 1L]] <<- restore_failure(scope, record, e, is.null(cond))
    })
  }
  for (i in seq_along(failures)) {
    if (is.null(cond) && i == length(failures)) stop(failures[[i]]) else warning(failures[[i]])
  }
  invisible(NULL)
})

restore_failure <- function(scope, record, e, is_error) {
  msg <- sprintf("could not point %s back (%s); it still writes where the scope sent it: restore it with restore_%s() on this condition's `saved`",
                 record$stream, conditionMessage(e), record$stream)
  structure(class = c("client_restore_failure", if (is_error) "error" else "warning", "condition"),
            list(message = msg, call = scope$call, saved = record$handle))
}

# The closing step registered with on.exit(): reports restore failures as warnings when the frame
# is left by an error or a jump, which must go on, and as an error after a normal return. An
# interrupt held meanwhile is delivered here only after a normal return: during a jump it would
# be raised past the handler that is taking the condition that started the jump.
close_on_exit <- function(scope) {
  on.exit(unlink(scope$files))
  left_normally <- !identical(returnValue(unfinished), unfinished)
  close_scope(scope, if (!left_normally) unfinished)
  if (scope$kind == "local" && left_normally) deliver_interrupts()
}

unfinished <- new.env(parent = emptyenv())

# ---- running code in a scope ----

# The call that errors and warnings raised by the user's code carry when they come straight
# from it: the forcing of `code` inside scope_run(). They are given the user's call instead.
inner_call <- quote(allowInterrupts(code))

in_scope <- function(scope, open, code) {
  res <- suspendInterrupts(scope_run(scope, open, code))
  deliver_interrupts()
  res
}

# R delivers an interrupt held back by suspendInterrupts() only at its next check, which may come
# long after, in the caller's code. Checking here delivers it within the call that held it.
deliver_interrupts <- function() Sys.sleep(0)

scope_run <- function(scope, open, code) {
  on.exit(close_on_exit(scope))
  open(scope)
  result <- withCallingHandlers(
    withVisible(allowInterrupts(code)),
    message = function(m) scope_message(scope, m),
    warning = function(w) {
      if (identical(conditionCall(w), inner_call)) {
        w$call <- scope$call
        warning(w)
        invokeRestart("muffleWarning")
      }
    },
    error = function(e) scope_exit(scope, e),
    interrupt = function(e) scope_exit(scope, e)
  )
  close_scope(scope)
  result$captured <- if (scope$kind == "capture") read_captured(scope)
  result
}

# A condition is leaving the scope's code: the streams are restored before it goes on, so that
# R prints an error where the caller sees it, and it carries the user's call and, from a capture,
# what was captured until then.
scope_exit <- function(scope, cond) {
  close_scope(scope, cond)
  changed <- FALSE
  if (identical(conditionCall(cond), inner_call)) {
    cond$call <- scope$call
    changed <- TRUE
  }
  if (scope$kind == "capture") {
    captured <- read_captured(scope)
    cond$stdout <- captured$stdout
    cond$stderr <- captured$stderr
    changed <- TRUE
  }
  if (!changed) return(invisible(NULL))
  # Handlers further out see the amended condition; an interrupt goes on after them.
  if (inherits(cond, "interrupt")) signalCondition(cond) else stop(cond)
}

# Messages: a capture takes them all; a scope that redirected stderr, or forwards, lets handlers
# further out have them first (suppressMessages(), a knitr chunk) and writes the rest itself.
scope_message <- function(scope, m) {
  writes_stderr <- any(vapply(scope$records, function(r) r$stream == "stderr", NA))
  if (scope$kind == "capture") {
    sync_routes(scope)
    write_all(2L, message_bytes(m))
    invokeRestart("muffleMessage")
  }
  if (!writes_stderr && scope$kind != "forward") return(invisible(NULL))
  sync_routes(scope)
  print_message <- if (scope$kind == "forward") scope$print_stderr else
    function(bytes) write_all(2L, bytes)
  withRestarts({
    signalCondition(m)
    print_message(message_bytes(m))
  }, muffleMessage = function() NULL)
  invokeRestart("muffleMessage")
}

message_bytes <- function(m) {
  flush(getConnection(1L))
  charToRaw(enc2native(conditionMessage(m)))
}

# ---- with_*() and local_*() ----

with_stream <- function(stream, to, code, call) {
  to <- check_target(to)
  scope <- new_scope(call, "with")
  flush_std()
  res <- in_scope(scope, function(scope) {
    native(scope_redirect(scope, stream, to), call)
    if (!r_output_reaches_fd()[[stream]]) route_r_output(scope, stream)
  }, code)
  if (res$visible) res$value else invisible(res$value)
}

with_stdout <- function(to, code) with_stream("stdout", to, code, sys.call())
with_stderr <- function(to, code) with_stream("stderr", to, code, sys.call())

local_stream <- function(stream, to, envir, call) {
  to <- check_target(to)
  if (!is.environment(envir)) fail("`.local_envir` must be an environment, not %s", describe(envir))
  if (!is_function_frame(envir)) {
    fail("local_%s() needs the environment of a running function, whose exit restores the stream; at top level, in source(), knitr chunks or test files use with_%s(), or redirect_%s() and restore_%s()",
         stream, stream, stream, stream)
  }
  scope <- new_scope(call, "local")
  flush_std()
  # Registered first, so that whatever the switch leaves behind is undone, and twice: an interrupt
  # that lands before the first has held interrupts leaves the second to run, and a finished
  # close makes the second do nothing.
  close <- as.call(list(close_on_exit, scope))
  suspendInterrupts({
    for (i in 1:2) do.call(base::on.exit, list(close, TRUE, FALSE), envir = envir)
    native(scope_redirect(scope, stream, to), call)
    if (!r_output_reaches_fd()[[stream]]) route_r_output(scope, stream)
  })
  deliver_interrupts()
  invisible(NULL)
}

# Whether `envir` is the frame of a running function call. eval() in an environment (source(),
# knitr, test runners, local()) runs a frame of its own there, whose function is a builtin; that
# frame ends, and would undo the redirection, as soon as the one expression does.
is_function_frame <- function(envir) {
  for (i in seq_len(sys.nframe())) {
    if (identical(sys.frame(i), envir) && typeof(sys.function(i)) == "closure") return(TRUE)
  }
  FALSE
}

local_stdout <- function(to, .local_envir = parent.frame()) {
  local_stream("stdout", to, .local_envir, sys.call())
}
local_stderr <- function(to, .local_envir = parent.frame()) {
  local_stream("stderr", to, .local_envir, sys.call())
}
