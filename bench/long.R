# Long vectors: encodes 2^31 + 3 bytes to raw text and decodes it back, checking both, and prints
# the times and R's peak memory. Run under GNU time for the process's peak resident set:
#   make bench-long    (/usr/bin/time -v Rscript --vanilla bench/long.R ./lib)
lib <- commandArgs(TRUE)[[1L]]
suppressMessages(library(client, lib.loc = lib))
now <- function() proc.time()[["elapsed"]]

n <- 2^31 + 3
x <- rep_len(as.raw(c(0:255, 7L)), n) # a period of 257, so that no piece repeats another
invisible(gc(reset = TRUE))
message <- tryCatch(base64_encode(x), error = conditionMessage)
stopifnot(grepl("use `raw = TRUE`", message, fixed = TRUE))

t0 <- now()
text <- base64_encode(x, raw = TRUE)
t_encode <- now() - t0
stopifnot(length(text) == 4 * ceiling(n / 3),
          identical(text[1:12], base64_encode(x[1:9], raw = TRUE)),
          identical(text[length(text) - 3:0], base64_encode(x[n - 1:0], raw = TRUE)))

t0 <- now()
back <- base64_decode(text)
t_decode <- now() - t0
stopifnot(identical(back, x))

peak <- sum(gc()[, 6L])
cat(sprintf("encode: %.0f bytes to %.0f characters in %.1f s\n", n, length(text), t_encode))
cat(sprintf("decode: back to %.0f bytes in %.1f s, identical to the input\n", length(back), t_decode))
cat(sprintf("peak memory R counted (gc's max used, Ncells and Vcells): %.0f MB\n", peak))
