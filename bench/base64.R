# Base64 throughput of client against the R peers base64enc, jsonlite and openssl, and against
# a plain copy of a raw vector as a memory baseline. Every implementation's output is checked
# against ours first; then runs are interleaved (one batch per implementation in turn, the order
# rotating) so that drift in the machine's speed affects all of them alike.
#
# The whole run happens twice, each time in a fresh R:
# - "default heap": R as users run it. glibc returns freed memory to the kernel, large blocks at
#   once and the rest when enough lies free at the top of the heap (as after a garbage
#   collection), so results land on fresh pages and pay a page fault per 4 KiB. Where faults are
#   dear (a virtual machine), they dominate the large sizes.
# - "kept heap": glibc told to keep freed memory (MALLOC_TRIM_THRESHOLD_, MALLOC_MMAP_MAX_=0),
#   so results reuse pages already mapped and the figures show the implementations' own work.
# Each run also times a fresh 64 MiB raw(), to show what a page fault costs here.
#
# Usage: Rscript --vanilla bench/base64.R [library]   (make bench)
args <- commandArgs(TRUE)
lib <- if (length(args) >= 1L) args[[1L]] else ""
heap <- if (length(args) >= 2L) args[[2L]] else NA_character_

if (is.na(heap)) {
  script <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE)[[1L]])
  if (file.exists("/proc/cpuinfo") && file.exists("/proc/meminfo")) {
    cpu <- grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)
    mem <- grep("^MemTotal", readLines("/proc/meminfo"), value = TRUE)
    cat(sprintf("Machine: %d cores, %s, %.1f GiB of memory; %s\n", parallel::detectCores(),
                sub("^model name\\s*:\\s*", "", cpu[[1L]]),
                as.numeric(gsub("[^0-9]", "", mem)) / 2^20, R.version.string))
  }
  run <- function(mode, env = character()) {
    status <- system2(file.path(R.home("bin"), "Rscript"),
                      c("--vanilla", shQuote(script), shQuote(lib), mode), env = env)
    if (status != 0L) stop("the ", mode, " run failed")
  }
  run("default")
  run("kept", c("MALLOC_TRIM_THRESHOLD_=68719476736", "MALLOC_TOP_PAD_=67108864",
                "MALLOC_MMAP_MAX_=0"))
  quit(save = "no")
}

suppressMessages(library(client, lib.loc = if (nzchar(lib)) lib))
peers <- c("base64enc", "jsonlite", "openssl")
have <- vapply(peers, requireNamespace, logical(1), quietly = TRUE)
if (!all(have)) message("not installed, left out: ", paste(peers[!have], collapse = ", "))
peers <- peers[have]

now <- if (requireNamespace("bench", quietly = TRUE)) {
  function() as.numeric(bench::hires_time())
} else {
  function() proc.time()[[3L]]
}

# A fresh copy of `x`: assigning to a shared vector duplicates it with one memcpy.
copy <- function(x) {
  x[1L] <- x[1L]
  x
}

ns <- asNamespace("client")
native_encode <- get("kestrin_base64_encode", ns)
native_decode <- get("kestrin_base64_decode", ns)

# Every implementation is called the same way, through a one-line function over a function
# object looked up once. Each encoder takes raw bytes; ours returns raw text, the peers return a
# string (jsonlite's broken into lines). "native" is our .Call without the R
# wrapper around it: shown to tell the codec's cost from the wrapper's, left out of the ratios.
fn <- function(pkg, name) if (pkg %in% peers) getExportedValue(pkg, name)
client_encode <- base64_encode
client_decode <- base64_decode
b64enc_encode <- fn("base64enc", "base64encode")
b64enc_decode <- fn("base64enc", "base64decode")
jsonlite_encode <- fn("jsonlite", "base64_enc")
jsonlite_decode <- fn("jsonlite", "base64_dec")
openssl_encode <- fn("openssl", "base64_encode")
openssl_decode <- fn("openssl", "base64_decode")
encoders <- list(
  client = function(x) client_encode(x, raw = TRUE),
  native = function(x) .Call(native_encode, x),
  base64enc = function(x) b64enc_encode(x),
  jsonlite = function(x) jsonlite_encode(x),
  openssl = function(x) openssl_encode(x),
  copy = copy
)
# Each decoder gets the text in the form it takes (base64enc: a string, the others: raw) and
# returns raw bytes. Ours is the exported function with its default strict checks.
decoders <- list(
  client = function(x) client_decode(x),
  native = function(x) .Call(native_decode, x),
  base64enc = function(x) b64enc_decode(x),
  jsonlite = function(x) jsonlite_decode(x),
  openssl = function(x) openssl_decode(x),
  copy = copy
)
columns <- c("client", "native", peers, "copy")
encoders <- encoders[columns]
decoders <- decoders[columns]

sizes <- c("64 B" = 64, "4 KiB" = 4096, "1 MiB" = 2^20, "64 MiB" = 2^26)
batch_bytes <- 2^21 # input per timed batch for the small sizes
reps <- c(11L, 11L, 11L, 5L)
calls <- pmax(1L, as.integer(batch_bytes %/% sizes))

# ---- inputs, and every implementation's output checked against ours ----
# Each call of a batch gets its own input: R keeps one copy of equal strings, so encoding the same
# bytes again would hand the string-returning peers their earlier result without allocating.
set.seed(1)
random_bytes <- function(n) as.raw(sample.int(256L, n, replace = TRUE) - 1L)
as_text <- function(out) if (is.raw(out)) rawToChar(out) else gsub("\n", "", out, fixed = TRUE)
inputs <- lapply(seq_along(sizes), function(s) {
  size <- sizes[[s]]
  data <- lapply(seq_len(calls[[s]]), function(i) random_bytes(size))
  # Decoder input: text of `size` characters, ending in one "=" like most real text.
  decoded <- lapply(seq_len(calls[[s]]), function(i) random_bytes(size * 3 / 4 - 1))
  text <- lapply(decoded, base64_encode, raw = TRUE)
  stopifnot(length(text[[1L]]) == size)
  for (i in seq_len(min(3L, calls[[s]]))) {
    want <- rawToChar(base64_encode(data[[i]], raw = TRUE))
    for (name in setdiff(names(encoders), "copy")) {
      if (!identical(as_text(encoders[[name]](data[[i]])), want)) stop(name, " encodes differently")
    }
    for (name in setdiff(names(decoders), "copy")) {
      got <- decoders[[name]](if (name == "base64enc") rawToChar(text[[i]]) else text[[i]])
      if (!identical(got, decoded[[i]])) stop(name, " decodes differently")
    }
  }
  list(data = data, text = text, text_string = if ("base64enc" %in% peers) lapply(text, rawToChar))
})

# ---- timing ----
# Seconds per call of f over the inputs in `pool`, from a collected heap (outside the clock).
time_batch <- function(f, pool) {
  gc(verbose = FALSE)
  t0 <- now()
  for (x in pool) f(x)
  (now() - t0) / length(pool)
}

measure <- function(fns, pool_of) {
  out <- list()
  for (s in seq_along(sizes)) {
    pools <- lapply(names(fns), function(name) pool_of(name, inputs[[s]]))
    for (j in seq_along(fns)) fns[[j]](pools[[j]][[1L]]) # warm up
    times <- matrix(NA_real_, reps[[s]], length(fns), dimnames = list(NULL, names(fns)))
    for (r in seq_len(reps[[s]])) {
      order <- (seq_along(fns) + r - 2L) %% length(fns) + 1L
      for (j in order) times[r, j] <- time_batch(fns[[j]], pools[[j]])
    }
    out[[names(sizes)[s]]] <- sizes[[s]] / apply(times, 2L, stats::median) / 1e6
  }
  out
}

if (heap == "kept") {
  # Grow the heap once, so that later results find pages already mapped.
  invisible(raw(2^29))
  invisible(gc(verbose = FALSE))
}
fault_ms <- {
  invisible(gc(verbose = FALSE))
  t0 <- now()
  invisible(raw(2^26))
  (now() - t0) * 1e3
}
t_start <- now()
enc <- measure(encoders, function(name, input) input$data)
dec <- measure(decoders, function(name, input) {
  if (name == "base64enc") input$text_string else input$text
})
elapsed <- now() - t_start

# ---- report ----
targets <- list(
  encode = list(peer = c(2, 5, 5, 5), copy = c(NA, NA, NA, 0.75)),
  decode = list(peer = c(2, 5, 5, 3), copy = c(NA, NA, NA, 0.6))
)
fmt <- function(v) formatC(v, format = "f", digits = if (v < 100) 1 else 0, big.mark = ",")
verdict <- function(value, target) {
  if (is.na(target)) return("")
  sprintf(" (%s %sx)", if (value >= target) ">=" else "**< target**", format(target))
}
rows <- character()
for (op in c("encode", "decode")) {
  res <- if (op == "encode") enc else dec
  for (s in seq_along(sizes)) {
    mbs <- res[[s]]
    best <- max(mbs[peers])
    peer_ratio <- mbs[["client"]] / best
    copy_ratio <- mbs[["client"]] / mbs[["copy"]]
    rows <- c(rows, paste0(
      "| ", op, " | ", names(sizes)[s], " | ",
      paste(vapply(mbs[columns], fmt, ""), collapse = " | "), " | ",
      sprintf("%.1f", peer_ratio), verdict(peer_ratio, targets[[op]]$peer[s]), " | ",
      sprintf("%.2f", copy_ratio), verdict(copy_ratio, targets[[op]]$copy[s]), " |"
    ))
  }
}
header <- columns
cat(sprintf("\n### %s heap\n\nThroughput in MB/s of input (10^6 bytes per second, median of %s runs).\n\n",
            if (heap == "kept") "Kept" else "Default", paste(unique(reps), collapse = " or ")))
cat("| op | size | ", paste(header, collapse = " | "), " | client / best peer | client / copy |\n",
    sep = "")
cat("|", paste(rep("---|", length(header) + 4L), collapse = ""), "\n", sep = "")
cat(rows, sep = "\n")

# ---- strings and variants ----
# Each row: what client is asked, and the peers that offer the same, all called as users call
# them: bytes in, a string out (encoders); a string in, bytes out (decoders). Outputs are checked
# against ours with line breaks removed, and decoders against the original bytes.
b64enc_lines <- function(x) b64enc_encode(x, 76, "\n")
variants <- list(
  list(name = "encode, string", sizes = 2:4, input = "data", client = function(x) client_encode(x),
       peers = list(base64enc = b64enc_encode, openssl = openssl_encode)),
  list(name = "decode, string", sizes = 2:4, input = "string", client = function(x) client_decode(x),
       peers = list(base64enc = b64enc_decode, jsonlite = jsonlite_decode, openssl = openssl_decode)),
  list(name = "encode, URL-safe unpadded", sizes = 3:4, input = "data",
       client = function(x) client_encode(x, url = TRUE, pad = FALSE),
       peers = list(jsonlite = fn("jsonlite", "base64url_enc"))),
  list(name = "decode, URL-safe unpadded", sizes = 3:4, input = "url",
       client = function(x) client_decode(x, url = TRUE),
       peers = list(jsonlite = fn("jsonlite", "base64url_dec"))),
  list(name = "encode, lines of 76", sizes = 3:4, input = "data",
       client = function(x) client_encode(x, line_width = 76),
       peers = list(base64enc = b64enc_lines, openssl = function(x) openssl_encode(x, TRUE))),
  list(name = "decode, lines of 76", sizes = 3:4, input = "lines", client = function(x) client_decode(x),
       peers = list(base64enc = b64enc_decode, jsonlite = jsonlite_decode, openssl = openssl_decode))
)
# Decoders get the text of other bytes than encoders are given: R keeps one copy of equal strings,
# so a text held here would hand an encoder that returns it the kept string, with no new one made.
variant_inputs <- lapply(seq_along(sizes), function(s) {
  bytes <- lapply(inputs[[s]]$data, function(x) random_bytes(length(x)))
  list(data = inputs[[s]]$data, bytes = bytes, string = lapply(bytes, base64_encode),
       url = lapply(bytes, base64_encode, url = TRUE, pad = FALSE),
       lines = lapply(bytes, base64_encode, line_width = 76))
})
flat <- function(out) if (is.raw(out)) out else gsub("[\r\n]", "", paste(out, collapse = ""))
variant_reps <- c(11L, 11L, 11L, 3L)
variant_rows <- character()
t_variants <- now()
for (v in variants) {
  fns <- c(list(client = v$client), Filter(Negate(is.null), v$peers))
  fns <- fns[c("client", intersect(names(fns), peers))]
  for (s in v$sizes) {
    pool <- variant_inputs[[s]][[v$input]]
    bytes <- variant_inputs[[s]]$bytes
    want <- flat(fns$client(pool[[1L]]))
    for (name in names(fns)[-1L]) {
      got <- flat(fns[[name]](pool[[1L]]))
      if (v$input == "data") {
        if (!identical(got, want)) stop(name, " differs from client in ", v$name)
      } else if (!identical(got, bytes[[1L]])) stop(name, " decodes differently in ", v$name)
    }
    if (v$input != "data" && !identical(want, bytes[[1L]])) stop("client decodes wrongly in ", v$name)
    rm(want, got) # the checked strings, so that no timed call finds its result kept
    times <- matrix(NA_real_, variant_reps[[s]], length(fns), dimnames = list(NULL, names(fns)))
    for (r in seq_len(variant_reps[[s]])) {
      order <- (seq_along(fns) + r - 2L) %% length(fns) + 1L
      for (j in order) times[r, j] <- time_batch(fns[[j]], pool)
    }
    mbs <- sizes[[s]] / apply(times, 2L, stats::median) / 1e6
    best <- max(mbs[-1L])
    target <- if (grepl("string", v$name)) 1.2 else 2
    ratio <- mbs[["client"]] / best
    variant_rows <- c(variant_rows, sprintf("| %s | %s | %s | %s | %.2f%s |", v$name, names(sizes)[s],
      fmt(mbs[["client"]]), paste(sprintf("%s %s", names(mbs)[-1L], vapply(mbs[-1L], fmt, "")),
                                   collapse = ", "),
      ratio, verdict(ratio, target)))
  }
}
cat(sprintf("\nStrings and variants: MB/s of bytes encoded or decoded.\n\n"))
cat("| op | size | client | peers | client / best peer |\n|---|---|---|---|---|\n")
cat(variant_rows, sep = "\n")
cat(sprintf("\nvariants timed in %.0f s\n", now() - t_variants))

cat(sprintf("\nR %s; %s; timed in %.0f s\n", getRversion(),
            paste(sprintf("%s %s", peers, vapply(peers, function(p) format(packageVersion(p)), "")),
                  collapse = ", "), elapsed))
cat(sprintf("A fresh raw(2^26) (64 MiB, allocated and zeroed) took %.1f ms: %.2f us per 4 KiB page.\n",
            fault_ms, fault_ms * 1e3 / 2^14))
