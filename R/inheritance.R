# ---- close-on-exec for the open descriptors ----
# The routine flags descriptors 0, 1 and 2 as well; by default standard output and error are
# then handed back to programs started later, since system() and R's pager need them.

disable_inheritance <- function(keep_output = TRUE) {
  keep_output <- check_flag(keep_output, "keep_output")
  # Held interrupts: while a stream is pointed at itself, a duplicate is open that only this
  # frame knows of.
  problems <- suspendInterrupts({
    .Call(kestrin_disable_inheritance)
    if (keep_output) c(inherit_std("stdout"), inherit_std("stderr"))
  })
  for (p in problems) warning(simpleWarning(p, sys.call()))
  invisible(NULL)
}

# Clears close-on-exec on a standard stream and leaves it pointing where it does. A stream
# pointed at its own number does not move, so it gets a duplicate of itself instead, which dup
# makes without the flag; the routine consumes the duplicate. Returns NULL, or why the stream
# keeps the flag.
inherit_std <- function(stream) {
  name <- c(stdout = "standard output", stderr = "standard error")[[stream]]
  why <- function(e, extra = "") {
    sprintf("%s stays close-on-exec, so programs started from here on do not get it%s: %s",
            name, extra, conditionMessage(e))
  }
  # When no duplicate can be made (no free descriptor), nothing was opened; a closed stream has
  # no flag to clear.
  copy <- tryCatch(dup_stream(stream), error = identity)
  if (inherits(copy, "error")) return(why(copy))
  if (copy < 0L) return(NULL)
  # dup2 between two open descriptors fails only transiently (EINTR, EBUSY), and a failing
  # call leaves the duplicate open: one more try, else say which descriptor is left.
  tryCatch(set_stream(stream, copy, TRUE), error = function(e) {
    tryCatch(set_stream(stream, copy, TRUE), error = function(e) {
      why(e, sprintf(" (descriptor %d, a copy of it, is left open)", copy))
    })
  })
}
