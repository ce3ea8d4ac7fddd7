# Runs the tinytest suite of the package installed in the library given as the first argument,
# or only the test file named second, and closes with "N passed, N failed"; exits non-zero on any
# failure.
args <- commandArgs(TRUE)
lib <- args[[1L]]
.libPaths(c(lib, .libPaths()))
suppressMessages(library(client, lib.loc = lib))
dir <- system.file("tinytest", package = "client", lib.loc = lib)
# Colour codes only on a terminal, never in a log.
results <- if (length(args) > 1L) {
  tinytest::run_test_file(file.path(dir, args[[2L]]), verbose = 1, color = isatty(stdout()))
} else {
  tinytest::run_test_dir(dir, verbose = 1, color = isatty(stdout()))
}
failed <- vapply(results, isFALSE, logical(1))
# Formatting a failure can itself fail (an `info` of length zero); the count must still print.
describe <- function(r) tryCatch(format(r, type = "long"), error = function(e) {
  paste(c("----- FAILED:", deparse(attr(r, "call"))), collapse = " ")
})
if (any(failed)) writeLines(vapply(results[failed], describe, ""))
cat(sprintf("\n%d passed, %d failed\n", sum(!failed), sum(failed)))
quit(status = if (any(failed)) 1L else 0L)
