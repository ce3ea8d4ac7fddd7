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
# Each message ends with what was given, as a reader would say it.
given <- list(
  list(1:3, "an integer vector of length 3"), list(character(0L), "a character vector of length 0"),
  list(new.env(), "an environment"), list(list(1), "a list of length 1"), list(sum, "a function"),
  list(quote(f(x)), "a call"), list(factor("a"), "a factor object"), list(NULL, "NULL"),
  list("", 'the string ""'), list("1", 'the string "1"'), list(NA_real_, "NA"), list(TRUE, "TRUE"),
  list(1.5, "the number 1.5"), list(3 + 1e-10, "the number 3.0000000001"), list(-1L, "the number -1")
)
for (g in given) {
  msg <- tryCatch(fd_write(g[[1L]], raw(0L)), error = conditionMessage)
  expect_equal(msg, paste("`fd` must be a single whole number >= 0, not", g[[2L]]))
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
  # Checked before anything is flagged in this process.
  expect_error(disable_inheritance(keep_output = flag), "`keep_output` must be TRUE or FALSE")
}
for (path in list(NA_character_, "", c("a", "b"))) {
  expect_error(redirect_stdout(path), "`to` must be a single non-empty file path")
}
expect_error(redirect_stdout(tempfile(), drop = TRUE), "`drop = TRUE` needs a descriptor")
expect_error(redirect_stdout(0L), "must not be 0")
# Both forms of `to` are named, whichever check fails.
for (to in list(NA, 1.5, -2, list(1))) {
  expect_error(with_stdout(to, 1), "`to` must be a file path (a single non-empty string) or an open descriptor (a single whole number >= 1)",
               fixed = TRUE, info = deparse(to))
}
expect_error(restore_stdout(5L), "`saved` must be a saved stream from redirect_stdout()")
expect_error(restore_stderr(NULL), "`saved` must be a saved stream from redirect_stderr()")
expect_error(local_stdout(tempfile(), .local_envir = 1), "`.local_envir` must be an environment")

check_leaks()
