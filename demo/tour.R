# A tour of client: every capability once, with what happened printed plainly.
# demo() reads this file from <library>/client/demo/, and that library need not be on
# .libPaths(): attach the package from there.
library(client, lib.loc = c(dirname(dirname(dirname(
  utils::getSrcFilename(function() NULL, full.names = TRUE)
))), .libPaths()))

say <- function(...) cat("\n==>", ..., "\n")
show <- function(label, x) cat(sprintf("    %-28s %s\n", label, paste(x, collapse = " ")))

say("Writing raw bytes to a descriptor with one system call")
n <- fd_write(1L, charToRaw("    hello from fd_write() on descriptor 1\n"))
show("bytes written:", n)
msg <- tryCatch(fd_write(1000L, "x"), error = conditionMessage)
show("a closed descriptor:", msg)

say("Capturing what sink() cannot see: a child program's output")
sunk <- tempfile()
sink(sunk)
system("echo '    (child program: this went past sink() to the terminal)'")
cat("R output\n")
sink()
show("sink() caught:", sprintf("%s", readLines(sunk)))
got <- capture_output({
  cat("R output\n")
  message("R message")
  system("echo child program output; echo child program error >&2")
  "the value"
})
show("capture_output() value:", got$value)
show("captured stdout:", encodeString(got$stdout))
show("captured stderr:", encodeString(got$stderr))
merged <- capture_output({ cat("1 stdout\n"); message("2 stderr"); cat("3 stdout\n") }, merge = TRUE)
show("merged, in order:", encodeString(merged$stdout))

say("Pointing stdout at a file and back, by hand")
log <- tempfile(fileext = ".log")
saved <- redirect_stdout(log)
cat("this line goes to the file\n")
system("echo so does this child program")
restore_stdout(saved)
show("the saved stream prints as:", capture.output(print(saved)))
show("the file holds:", encodeString(paste(readLines(log), collapse = "\n")))
show("a second restore:", tryCatch(restore_stdout(saved), error = conditionMessage))
show("a missing directory:",
     tryCatch(redirect_stderr("/no/such/dir/err.log"), error = conditionMessage))

say("Scoped helpers: with_stdout() and local_stderr() always point back, innermost first")
inner <- tempfile(); outer <- tempfile(); errs <- tempfile()
f <- function() {
  local_stderr(errs)
  with_stdout(outer, {
    cat("outer 1\n")
    with_stdout(inner, cat("inner\n"))
    cat("outer 2\n")
  })
  message("to the scoped stderr")
}
f()
show("outer file:", readLines(outer))
show("inner file:", readLines(inner))
show("stderr file:", readLines(errs))
try_it <- tryCatch(with_stdout(tempfile(), stop("failed inside")), error = conditionMessage)
show("an error inside:", c(try_it, "(and stdout is back)"))

say("Front ends: R's output taken by a sink (as in knitr, GUIs, capture.output())")
sunk <- tempfile()
sink(sunk)
inside <- capture_output({
  cat("R output\n")
  system("echo child program output")
  message("R message")
})
forwarded <- forward_output({
  system("echo a child program, shown through R output")
  "its value"
})
sink()
show("capture_output() in a sink:", encodeString(inside$stdout))
show("  (R's text joins the descriptor's at each message and at the end)", "")
show("  and its stderr:", encodeString(inside$stderr))
show("forward_output() sent on:", readLines(sunk))
show("  and returned:", forwarded)
failed <- tryCatch(capture_output({
  cat("written before the error\n")
  stop("the code failed")
}), error = function(e) e)
show("capture_output() failing:", conditionMessage(failed))
show("  the error carries:", encodeString(failed$stdout))
both <- tempfile()
with_stdout(both, {
  cat("stdout 1\n")
  with_stderr(both, message("stderr, into the same file"))
  cat("stdout 2\n")
})
show("both streams, one file:", readLines(both))

say("Keeping descriptors from leaking into programs started later (in a child R process)")
# The child lists what a program started from it inherits by asking that program: a shell that
# tries to duplicate each number onto a spare one. That needs no /proc, which macOS and the BSDs
# lack and CI may hide. POSIX sh reads single-digit numbers only, so it checks 0-8; bash, where
# there is one, checks up to 24 and lets the tour make a gap above 15 to show where the scan ends.
bash <- nzchar(Sys.which("bash"))
child <- substitute({
  suppressMessages(library(client, lib.loc = LIB))
  show <- function(label, x) cat(sprintf("    %-28s %s\n", label, paste(x, collapse = " ")))
  inherited <- function() {
    found <- tempfile()
    top <- if (BASH) 24L else 8L
    spare <- if (BASH) 99L else 9L
    # Descriptor 2 is tried before stderr is silenced: silencing it first would hide it.
    script <- paste0(
      "for fd in ", paste(0:top, collapse = " "), "; do ",
      "if [ $fd = 2 ]; then (: ", spare, "<&2); else (: ", spare, "<&$fd) 2>/dev/null; fi ",
      "&& echo $fd >>", shQuote(found), "; done"
    )
    system2(if (BASH) "bash" else "sh", c("-c", shQuote(script)))
    fds <- if (file.exists(found)) sort(as.integer(readLines(found))) else integer(0L)
    unlink(found)
    fds
  }
  at_start <- inherited()
  held <- list(file("/dev/null", "r"), file("/dev/null", "w"))
  before <- inherited()
  show("a program sees, before:", before)
  show("  of which this R opened:", c(setdiff(before, at_start), "(the two files it holds)"))
  if (BASH) show("  and its starter opened:", "16 and 18, with 17 closed between them")
  disable_inheritance()
  after <- inherited()
  show("after disable_inheritance():", after)
  show("  1 and 2 stay inherited:", "a program's output still shows")
  system("echo '      (a program started now, printing to stdout)'")
  show("  0 does not:", "give a program its input explicitly")
  system("sed 's/^/      /'", input = "(input given with system(input = ))")
  if (BASH) show("  18 is still there:", "from 16 on the scan stops at the first closed number, 17")
  disable_inheritance(keep_output = FALSE)
  show("with keep_output = FALSE:", c(inherited(), "(no stdout or stderr either)"))
  show("echo then exits with:", suppressWarnings(system("echo lost")))
  for (con in held) close(con)
}, list(LIB = dirname(find.package("client")), BASH = bash))
script <- tempfile(fileext = ".R")
writeLines(deparse(child, width.cutoff = 500L), script)
rscript <- file.path(R.home("bin"), "Rscript")
if (bash) {
  # bash starts the child with 16 and 18 open and 17 closed: a gap the scan cannot pass.
  system2("bash", c("-c", shQuote(paste("exec 16</dev/null 17<&- 18</dev/null; exec",
                                        shQuote(rscript), "--vanilla", shQuote(script)))))
} else {
  cat("    (no bash here: only descriptors 0-8 are listed, and the gap above 15 is not shown)\n")
  system2(rscript, c("--vanilla", shQuote(script)))
}
unlink(script)

say("Base64: bytes to text and back")
bytes <- as.raw(c(0:5, 250:255))
text <- base64_encode(bytes)
show("encoded:", text)
show("decoded back identical:", identical(base64_decode(text), bytes))
show("\"AAA\" encodes to:", base64_encode("AAA"))
show("raw text, no string copy:", format(base64_encode(bytes, raw = TRUE)))
show("malformed input:", tryCatch(base64_decode("QU!B"), error = conditionMessage))
show("strict = FALSE gives:", format(base64_decode("QU!B", strict = FALSE)))
big <- as.raw(sample(0:255, 8e6, TRUE))
t <- system.time(for (i in 1:5) base64_decode(base64_encode(big, raw = TRUE)))[["elapsed"]]
show("8 MB encoded and decoded x5:", sprintf("%.2f s, %.0f MB/s of input through both", t, 5 * 8 * 2 / t))
cat("\nTour done.\n")
