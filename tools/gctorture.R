# Calls the codec and descriptor routines with gctorture(TRUE), so that every allocation inside a
# routine runs the garbage collector: a vector that a routine forgot to protect is collected while
# still in use. Each result is checked against the same call made without torture and against
# known values. The process points its own stdout at a file and back, so it runs as a script of
# its own, never inside a session whose output matters.
# Usage: Rscript tools/gctorture.R LIB [large]
# With "large", inputs of 64 KiB are added: R hands those to malloc, and a collected one is freed
# at once, which AddressSanitizer (make sanitize) or valgrind reports when it is read afterwards.
args <- commandArgs(TRUE)
lib <- args[[1L]]
large <- "large" %in% args
suppressMessages(library(client, lib.loc = lib))
ns <- asNamespace("client")
native <- function(name, ...) .Call(get(name, envir = ns), ...)

# Only the routine runs under torture: its arguments are evaluated before, so that a collection
# is due at the routine's own allocations rather than at R's.
torture <- function(routine, x, y) {
  force(routine)
  force(x)
  if (!missing(y)) force(y)
  on.exit(gctorture(FALSE))
  gctorture(TRUE)
  if (missing(y)) .Call(routine, x) else .Call(routine, x, y)
}
sym <- function(name) get(name, envir = ns)

failures <- 0L
check <- function(ok, what) {
  if (!isTRUE(ok)) {
    failures <<- failures + 1L
    message("FAILED: ", what)
  }
}
ch <- function(s) charToRaw(s)
error_text <- function(expr) tryCatch({ expr; "" }, error = conditionMessage)

# ---- Base64 ----
encode_cases <- list(
  list(raw(0L), ""), list(ch("A"), "QQ=="), list(ch("AA"), "QUE="), list(ch("AAA"), "QUFB"),
  list(as.raw(1:5), "AQIDBAU="), list(ch("foobar"), "Zm9vYmFy")
)
for (case in encode_cases) {
  got <- torture(sym("kestrin_base64_encode"), case[[1L]])
  check(identical(got, ch(case[[2L]])), sprintf("encode to %s", case[[2L]]))
}
decode_cases <- list(
  list("", raw(0L)),
  list("QUFBQQ==", ch("AAAA")),                    # the guess is right: no copy
  list("QUFB====", ch("AAA")),                     # guess too long: the shortening copy
  list("QQ==QUFB", ch("A")),                       # stops at the first "="
  list("QU!BQQ==", as.raw(c(0x41, 0, 0, 0, 0, 0))), # guess too short: capacity and zero fill
  list("QUF", raw(0L)),                            # length not a multiple of 4
  list("QUFBQ", raw(3L))
)
for (case in decode_cases) {
  got <- torture(sym("kestrin_base64_decode"), ch(case[[1L]]))
  check(identical(got, case[[2L]]), sprintf("decode %s", case[[1L]]))
}
all_bytes <- as.raw(0:255)
text <- torture(sym("kestrin_base64_encode"), all_bytes)
check(identical(torture(sym("kestrin_base64_decode"), text), all_bytes), "all byte values")

if (large) {
  set.seed(1)
  x <- as.raw(sample.int(256L, 49152L, replace = TRUE) - 1L)
  text <- native("kestrin_base64_encode", x)
  check(identical(torture(sym("kestrin_base64_encode"), x), text), "large encode")
  check(identical(torture(sym("kestrin_base64_decode"), text), x), "large decode")
  shortened <- text
  shortened[65533:65536] <- ch("====")
  check(identical(torture(sym("kestrin_base64_decode"), shortened), x[1:49149]),
        "large decode, guess too long")
  stopped <- text
  stopped[65525:65536] <- ch("!!!!QUFBQQ==")
  check(identical(torture(sym("kestrin_base64_decode"), stopped), c(x[1:49143], raw(9L))),
        "large decode, guess too short")
}

# ---- writes and redirection ----
out_file <- tempfile()
flush(stdout())
saved <- torture(sym("kestrin_set_stdout_to_file"), out_file)
written <- torture(sym("kestrin_write"), 1L, ch("written under torture\n"))
empty <- torture(sym("kestrin_write"), 1L, raw(0L))
bad_write <- error_text(torture(sym("kestrin_write"), 100000L, ch("x")))
bad_reroute <- error_text(torture(sym("kestrin_set_stderr"), 100000L, FALSE))
restored <- torture(sym("kestrin_set_stdout"), saved, TRUE)
check(is.integer(saved) && length(saved) == 1L && saved > 2L, "saved stdout")
check(identical(written, 22L) && identical(empty, 0L), "write counts")
check(is.null(restored), "restoring returns NULL")
check(identical(readLines(out_file), "written under torture"), "bytes in the file")
check(grepl("^Cannot write to fd \\(system error 9,", bad_write), "write error text")
check(grepl("^Cannot reroute stderr \\(system error 9,", bad_reroute), "reroute error text")
unlink(out_file)

if (failures > 0L) {
  message(failures, " checks failed under gctorture")
  quit(status = 1L)
}
cat(sprintf("gctorture: all checks passed%s\n", if (large) " (with large inputs)" else ""))
