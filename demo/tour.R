# A tour of client: every capability once, with what happened printed plainly.
library(client)

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
print(saved)
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

say("Keeping descriptors from leaking into programs started later (in a child R process)")
child <- tempfile(fileext = ".R")
writeLines(c(
  sprintf("library(client, lib.loc = %s)", deparse(dirname(find.package("client")))),
  "held <- list(file('/dev/null', 'r'), file(tempfile(), 'w'))",
  "list_fds <- function() system('ls /proc/self/fd | tr \"\\\\n\" \" \"; echo')",
  "cat('    before: a program sees descriptors '); list_fds()",
  "disable_inheritance()",
  "out <- tempfile()",
  "s <- redirect_stdout(out)  # 0-2 are flagged too: give the program a stdout again",
  "list_fds()",
  "restore_stdout(s)",
  "cat('    after:  a program sees descriptors', readLines(out), '\\n')",
  "cat('    (0 is the directory ls reads; descriptor', s$fd, 'is the saved stdout, an ordinary one;\\n')",
  "cat('     one open above 15 beyond a closed number keeps its flags: the scan stopped at the gap)\\n')"
), child)
system2(file.path(R.home("bin"), "Rscript"), c("--vanilla", shQuote(child)))

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
