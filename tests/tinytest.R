if (requireNamespace("tinytest", quietly = TRUE)) {
  # Colour codes and redrawn progress lines only on a terminal: under R CMD check this is a log.
  if (!isatty(stdout())) options(tt.pr.color = FALSE, tt.verbose = 1)
  tinytest::test_package("client")
}
