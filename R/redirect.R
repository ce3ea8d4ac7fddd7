# ---- the package's records of its redirections ----
# One record per active redirection: the stream, its saved descriptor, and the files (by resolved
# path) that the stream and the saved descriptor write to. From these, a file that one of our
# redirections already writes to is shared instead of emptied, with or without /proc. The user
# holds a handle to a record, not the record itself.

state <- new.env(parent = emptyenv())
state$records <- list()  # active records by id, oldest first
state$next_id <- 1L
# The file each stream writes to, as far as our records know; NA when they don't.
state$current <- c(stdout = NA_character_, stderr = NA_character_)

stream_fd <- c(stdout = 1L, stderr = 2L)

new_record <- function(stream, fd, saved_file, target_file) {
  id <- state$next_id
  state$next_id <- id + 1L
  record <- new.env(parent = emptyenv())
  record$id <- id
  record$stream <- stream
  record$fd <- fd # -1: the stream was closed when it was redirected
  record$saved_file <- saved_file
  record$active <- TRUE
  record$handle <- new_handle(record)
  state$records[[as.character(id)]] <- record
  state$current[[stream]] <- target_file
  record
}

# What users get: read-only fields, and an identity that restore checks, so that a copy, a
# forgery or an edited object is refused instead of restoring some other descriptor.
new_handle <- function(record) {
  handle <- new.env(parent = emptyenv())
  assign("stream", record$stream, envir = handle)
  assign(".id", record$id, envir = handle)
  makeActiveBinding("fd", function() record$fd, handle)
  makeActiveBinding("restored", function() !record$active, handle)
  lockEnvironment(handle, bindings = TRUE)
  class(handle) <- "saved_stream"
  handle
}

print.saved_stream <- function(x, ...) {
  fd <- get0("fd", envir = x, inherits = FALSE)
  what <- if (identical(fd, -1L)) "closed when redirected" else sprintf("descriptor %s", format(fd))
  state <- if (isTRUE(get0("restored", envir = x, inherits = FALSE))) "restored" else "not restored"
  cat(sprintf("<saved %s: %s, %s>\n", format(get0("stream", envir = x, inherits = FALSE)), what,
              state))
  invisible(x)
}

# The active record behind `saved`, which must be a saved `stream`; fails saying what is wrong.
record_of <- function(saved, stream) {
  if (!inherits(saved, "saved_stream")) {
    fail("`saved` must be a saved stream from redirect_%s(), not %s", stream, describe(saved))
  }
  id <- if (is.environment(saved)) get0(".id", envir = saved, inherits = FALSE)
  from <- if (is.environment(saved)) get0("stream", envir = saved, inherits = FALSE)
  if (!is.integer(id) || length(id) != 1L || is.na(id) || !is_string(from) ||
      !from %in% names(stream_fd)) {
    fail("`saved` is not a saved stream made by redirect_%s(): its contents were altered", stream)
  }
  if (from != stream) {
    fail("`saved` holds the earlier %s; restore it with restore_%s()", from, from)
  }
  record <- state$records[[as.character(id)]]
  if (is.null(record)) {
    if (isTRUE(get0("restored", envir = saved, inherits = FALSE))) {
      fail("this saved %s (descriptor %s) was already restored", stream, format(saved$fd))
    }
    fail("`saved` is not a saved stream of this session: it was made elsewhere or altered")
  }
  if (!identical(record$handle, saved)) {
    fail("`saved` is not the saved stream made by redirect_%s(): it was copied or forged", stream)
  }
  record
}

# ---- switching, one step each through the routines ----

set_stream <- function(stream, fd, drop) {
  if (stream == "stdout") .Call(kestrin_set_stdout, fd, drop) else .Call(kestrin_set_stderr, fd, drop)
}

set_stream_to_file <- function(stream, path) {
  if (stream == "stdout") .Call(kestrin_set_stdout_to_file, path) else
    .Call(kestrin_set_stderr_to_file, path)
}

# A new descriptor for what the standard stream refers to, -1 if it is closed: pointing a stream
# at itself moves nothing and saves a duplicate.
dup_stream <- function(stream) set_stream(stream, stream_fd[[stream]], FALSE)

# Closes `fd`, a duplicate of what `stream` refers to now, by pointing the stream at it: the only
# close the routines offer. Used on failure paths, where a second error would hide the first.
release <- function(fd, stream) {
  if (fd >= 0L) try(set_stream(stream, fd, TRUE), silent = TRUE)
  invisible(NULL)
}

# Text that R has buffered belongs to where the stream pointed when it was printed. Connections
# 1 and 2 themselves: stdout() is whatever sink is active.
flush_std <- function() {
  flush(getConnection(1L))
  flush(getConnection(2L))
}

# ---- knowing which file a descriptor writes to ----

has_proc <- function() dir.exists("/proc/self/fd")

# The file behind a descriptor by /proc, where there is one: only an extra to our records.
proc_file <- function(fd) {
  if (fd < 0L || !has_proc()) return(NA_character_)
  link <- Sys.readlink(sprintf("/proc/self/fd/%d", fd))
  if (isTRUE(startsWith(link, "/"))) link else NA_character_
}

# A path with symbolic links and relative parts resolved, also for a file that does not exist.
resolve <- function(path) {
  if (file.exists(path)) return(normalizePath(path))
  # paste(), not file.path(): the latter refuses a name that is not valid in the locale.
  paste(normalizePath(dirname(path), mustWork = FALSE), basename(path), sep = "/")
}

current_file <- function(stream) {
  known <- state$current[[stream]]
  if (is.na(known)) proc_file(stream_fd[[stream]]) else known
}

saved_file <- function(record) {
  if (is.na(record$saved_file)) proc_file(record$fd) else record$saved_file
}

# ---- redirect and restore ----

# Points `stream` at `to` (a checked path or descriptor) and returns its record, or NULL with
# `drop`. A failure leaves the descriptor table and both streams as they were. Runs with
# interrupts held by the callers, so that no record is ever missing for a switch that happened.
switch_stream <- function(stream, to, drop) {
  before <- current_file(stream)
  if (is.character(to)) {
    file <- resolve(to)
    if (identical(current_file(stream), file)) return(share_self(stream, before))
    other <- setdiff(names(stream_fd), stream)
    if (identical(current_file(other), file)) return(share_stream(stream, other, FALSE, before))
    for (record in rev(state$records)) {
      if (record$fd >= 0L && identical(saved_file(record), file)) {
        return(share_saved(stream, record, before))
      }
    }
    saved <- set_stream_to_file(stream, to)
    return(new_record(stream, saved, before, resolve(to)))
  }
  target <- stream_fd[[stream]]
  if (to == target) return(if (!drop) share_self(stream, before))
  if (to <= 2L) return(share_stream(stream, names(stream_fd)[to], drop, before))
  saved <- set_stream(stream, to, drop)
  if (!drop) new_record(stream, saved, before, NA_character_) else {
    state$current[[stream]] <- NA_character_
    NULL
  }
}

# The stream stays where it is; a duplicate is saved so that its restore is an ordinary one.
share_self <- function(stream, before) {
  new_record(stream, dup_stream(stream), before, before)
}

# `stream` joins what `other` writes to, as the shell's 2>&1: through a duplicate, since the
# routine consumes the descriptor it is given.
share_stream <- function(stream, other, drop, before) {
  shared <- dup_stream(other)
  if (shared < 0L) fail("cannot point %s at %s: %s is closed", stream, other, other)
  target <- current_file(other)
  saved <- tryCatch(set_stream(stream, shared, drop), error = function(e) {
    release(shared, other)
    stop(e)
  })
  if (drop) {
    state$current[[stream]] <- target
    return(NULL)
  }
  new_record(stream, saved, before, target)
}

# `stream` joins the file that `record`'s saved descriptor writes to (an outer redirection's
# file, now hidden by an inner one). The routines can only duplicate a standard stream, so the
# stream takes the saved descriptor over and hands a duplicate back to `record`.
share_saved <- function(stream, record, before) {
  saved <- dup_stream(stream)
  tryCatch(set_stream(stream, record$fd, TRUE), error = function(e) {
    release(saved, stream)
    stop(e)
  })
  # The number was freed just now, so dup cannot run out of descriptors; it is tried twice in
  # case of a transient failure.
  again <- tryCatch(dup_stream(stream), error = function(e) tryCatch(dup_stream(stream),
                                                                    error = function(e) -2L))
  if (again < 0L) {
    # Nothing refers to the file any more but the stream: leave the stream on it, so that the
    # outer redirection's output is not lost, and give up the inner one's saved stream.
    record$fd <- -2L
    release(saved, stream)
    fail("cannot keep a descriptor for the file of an outer redirection of %s", record$stream)
  }
  record$fd <- again
  new_record(stream, saved, before, saved_file(record))
}

# Points the record's stream back. On failure the record stays active, so its saved stream can
# still be restored.
undo <- function(record) {
  stream <- record$stream
  if (record$fd == -2L) {
    forget(record)
    fail("the saved %s was lost when its file was shared; %s stays where it is", stream, stream)
  }
  # -1: the stream was closed, and pointing it at itself with `drop` closes it again.
  set_stream(stream, if (record$fd == -1L) stream_fd[[stream]] else record$fd, TRUE)
  forget(record)
  state$current[[stream]] <- record$saved_file
  invisible(NULL)
}

forget <- function(record) {
  record$active <- FALSE
  state$records[[as.character(record$id)]] <- NULL
}

redirect_stream <- function(stream, to, drop) {
  drop <- check_flag(drop, "drop")
  to <- check_target(to)
  if (is.character(to) && drop) {
    fail("`drop = TRUE` needs a descriptor in `to`; a file redirection always saves")
  }
  flush_std()
  # A held interrupt is left to R's next check, in the caller, once the saved stream is theirs:
  # delivered here, it would leave the stream switched with its saved stream never handed back.
  # So the hand-back is held too, and nothing is evaluated here after it.
  suspendInterrupts({
    record <- native(switch_stream(stream, to, drop))
    invisible(if (!is.null(record)) record$handle)
  })
}

restore_stream <- function(stream, saved) {
  record <- record_of(saved, stream)
  flush_std()
  native(suspendInterrupts(undo(record)))
  deliver_interrupts()
  invisible(NULL)
}

redirect_stdout <- function(to, drop = FALSE) redirect_stream("stdout", to, drop)
redirect_stderr <- function(to, drop = FALSE) redirect_stream("stderr", to, drop)
restore_stdout <- function(saved) restore_stream("stdout", saved)
restore_stderr <- function(saved) restore_stream("stderr", saved)
