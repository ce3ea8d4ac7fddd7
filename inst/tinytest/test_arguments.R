# ---- argument checks: clear R errors, raised before anything changes ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

bad_fds <- list(-1, NA_integer_, NA_real_, 1.5, "1", c(1L, 2L), integer(0L), NULL, TRUE, 2^31)
for (fd in bad_fds) {
  expect_error(fd_write(fd, raw(1L)), "`fd` must be a single whole number >= 0", info = deparse(fd))
  # A string is a path to redirect_stdout(): it has its own checks below.
  if (!is.character(fd)) expect_error(redirect_stdout(fd), "`to` must be", info = deparse(fd))
}
for (data in list(1:3, NA_character_, c("a", "b"), character(0L), list(as.raw(1)), NULL)) {
  expect_error(fd_write(1L, data), "`data` must be a raw vector or a single non-NA string",
               info = deparse(data))
}
# The error names the function the user called, not an internal one.
err <- tryCatch(fd_write("1", raw(0L)), error = identity)
expect_equal(deparse(conditionCall(err)), 'fd_write("1", raw(0L))')

for (flag in list(NA, 1L, "TRUE", c(TRUE, FALSE), logical(0L))) {
  expect_error(redirect_stderr(3L, drop = flag), "`drop` must be TRUE or FALSE", info = deparse(flag))
  expect_error(capture_output(1, raw = flag), "`raw` must be TRUE or FALSE")
  expect_error(capture_output(1, merge = flag), "`merge` must be TRUE or FALSE")
  expect_error(base64_encode(raw(0L), raw = flag), "`raw` must be TRUE or FALSE")
  expect_error(base64_decode("", strict = flag), "`strict` must be TRUE or FALSE")
}
for (path in list(NA_character_, "", c("a", "b"))) {
  expect_error(redirect_stdout(path), "`to` must be a single non-empty file path")
}
expect_error(redirect_stdout(tempfile(), drop = TRUE), "`drop = TRUE` needs a descriptor")
expect_error(redirect_stdout(0L), "must not be 0")
expect_error(restore_stdout(5L), "`saved` must be a saved stream from redirect_stdout()")
expect_error(restore_stderr(NULL), "`saved` must be a saved stream from redirect_stderr()")
expect_error(local_stdout(tempfile(), .local_envir = 1), "`.local_envir` must be an environment")

check_leaks()
