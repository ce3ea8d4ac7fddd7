# ---- close-on-exec for the open descriptors ----
# The routine flags descriptors 0, 1 and 2 as well; by default standard output and error are
# then handed back to programs started later, since system() and R's pager need them.

disable_inheritance <- function(keep_output = TRUE) {
  keep_output <- check_flag(keep_output, "keep_output")
  # The duplicates that hand stdout and stderr back are made first, so that running out of
  # descriptors fails before anything is flagged. They take the lowest free numbers, which only
  # reach 16 when 3 to 15 are all open; the scan then goes on past them. Interrupts are held
  # while they exist, since only this frame knows of them.
  problems <- suspendInterrupts({
    copies <- if (keep_output) native(duplicate_std())
    .Call(kestrin_disable_inheritance)
    unlist(Map(inherit_std, names(copies), copies))
  })
  for (p in problems) warning(simpleWarning(p, sys.call()))
  invisible(NULL)
}

# Duplicates of stdout and stderr (-1 for a closed one), or an error with none left open.
duplicate_std <- function() {
  out <- dup_stream("stdout")
  err <- tryCatch(dup_stream("stderr"), error = function(e) {
    release(out, "stdout")
    stop(e)
  })
  c(stdout = out, stderr = err)
}

# Points a standard stream at `copy`, a duplicate of itself made before the scan: dup2 leaves
# the stream without close-on-exec, pointing where it did, and the copy is consumed. Returns
# NULL, or why the stream keeps the flag.
inherit_std <- function(stream, copy) {
  if (copy < 0L) return(NULL) # a closed stream has no flag to clear
  # dup2 between two open descriptors fails only transiently (EINTR, EBUSY), and a failing
  # call leaves the copy open: one more try, else say which descriptor is left.
  tryCatch(set_stream(stream, copy, TRUE), error = function(e) {
    tryCatch(set_stream(stream, copy, TRUE), error = function(e) {
      name <- c(stdout = "standard output", stderr = "standard error")[[stream]]
      sprintf("%s stays close-on-exec, so programs started from here on do not get it (descriptor %d, a copy of it, is left open): %s",
              name, copy, conditionMessage(e))
    })
  })
}
