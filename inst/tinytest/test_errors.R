# ---- how native failures reach R: message, errno and its text, location, routine ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

# A failing system call, end to end: the layout of the error text.
msg <- tryCatch(fd_write(987654L, "x"), error = conditionMessage)
expect_true(grepl(
  "^Cannot write to fd \\(system error 9, [^)]+\\) @client\\.cpp:[0-9]+ \\(kestrin_write\\)$", msg
), info = msg)

# The exported helpers, called from another shared object as any native caller would.
r <- run_child({
  catch <- function(expr) tryCatch(expr, error = conditionMessage)
  options(warning.length = 8170L)
  result(list(
    plain = catch(h$throw_error(client_so, "Cannot frobnicate 50%")),
    given = catch(h$throw_system_error(client_so, 2L, "given text", "Cannot open")),
    null = catch(h$throw_system_error(client_so, 2L, NULL, "Cannot open")),
    long = catch(h$throw_system_error(client_so, 7L, "sys", strrep("ab", 2500L))),
    long_plain = catch(h$throw_error(client_so, strrep("cd", 2500L)))
  ))
})
expect_equal(r$status, 0L)
res <- r$result
expect_equal(res$plain, "Cannot frobnicate 50% @fdhelper.c:7 (th_throw_error)")
expect_equal(res$given, "Cannot open (system error 2, given text) @fdhelper.c:42 (th_throw_system_error)")
expect_true(grepl("^Cannot open \\(system error 2, No such file or directory\\) @fdhelper\\.c:42", res$null),
            info = res$null)
# The message is cut at 4095 characters; the system and location parts still follow it.
expect_equal(substr(res$long, 1L, 4095L), substr(strrep("ab", 2500L), 1L, 4095L))
expect_equal(substring(res$long, 4096L), " (system error 7, sys) @fdhelper.c:42 (th_throw_system_error)")
expect_equal(substr(res$long_plain, 1L, 4095L), substr(strrep("cd", 2500L), 1L, 4095L))
expect_equal(substring(res$long_plain, 4096L), " @fdhelper.c:7 (th_throw_error)")

# Routines never read element 0 of an empty vector: they raise instead, and R's accessors still
# refuse wrong types. In a child, so that a crash would be reported rather than suffered.
r <- run_child({
  catch <- function(expr) tryCatch({ expr; "no error" }, error = conditionMessage)
  ns <- asNamespace("client")
  result(list(
    write_fd = catch(.Call(ns$kestrin_write, integer(0L), raw(1L))),
    write_null = catch(.Call(ns$kestrin_write, NULL, raw(1L))),
    stdout_fd = catch(.Call(ns$kestrin_set_stdout, integer(0L), FALSE)),
    stdout_drop = catch(.Call(ns$kestrin_set_stdout, 1L, logical(0L))),
    stderr_fd = catch(.Call(ns$kestrin_set_stderr, integer(0L), TRUE)),
    stderr_drop = catch(.Call(ns$kestrin_set_stderr, 2L, logical(0L))),
    stdout_path = catch(.Call(ns$kestrin_set_stdout_to_file, character(0L))),
    stderr_path = catch(.Call(ns$kestrin_set_stderr_to_file, character(0L))),
    wrong_fd = catch(.Call(ns$kestrin_write, 1.5, raw(1L))),
    wrong_data = catch(.Call(ns$kestrin_write, 1L, "text")),
    wrong_path = catch(.Call(ns$kestrin_set_stdout_to_file, 1L)),
    stdout_ok = fd_target(1L)
  ))
})
expect_equal(r$status, 0L)
res <- r$result
empty <- res[c("write_fd", "write_null", "stdout_fd", "stdout_drop", "stderr_fd", "stderr_drop",
               "stdout_path", "stderr_path")]
for (name in names(empty)) {
  expect_true(grepl("^Cannot read [a-z]+: empty vector @client\\.cpp:[0-9]+ \\(kestrin_", empty[[name]]),
              info = paste(name, empty[[name]]))
}
for (name in c("wrong_fd", "wrong_data", "wrong_path")) {
  expect_false(identical(res[[name]], "no error"), info = name)
}
expect_true(nzchar(res$stdout_ok))

check_leaks()
