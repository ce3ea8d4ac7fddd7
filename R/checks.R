# ---- argument checks shared by the exported functions ----
# Each fails with an error whose call is the exported function the user called: the outermost
# frame of the chain of this package's frames that leads to the failing check.

user_call <- function() {
  ns <- environment(user_call)
  parents <- sys.parents()
  call <- NULL
  # From the caller of user_call() up the chain of callers (not of frames on the stack, which
  # also holds the base functions a scope runs code through), while they are this package's.
  i <- sys.nframe() - 1L
  while (i > 0L && identical(environment(sys.function(i)), ns)) {
    call <- sys.call(i)
    i <- parents[[i]]
  }
  call
}

fail <- function(fmt, ...) {
  call <- user_call()
  stop(simpleError(sprintf(fmt, ...), call))
}

# Runs a native routine whose errors should name the user's call, not an internal one. The
# message is kept as the routine raised it.
native <- function(expr, call = user_call()) {
  call <- call # forced here, where the callers still lead to the user's call
  tryCatch(expr, error = function(e) stop(simpleError(conditionMessage(e), call)))
}

# What a wrong argument was, for the end of a message: "..., not <describe(x)>".
describe <- function(x) {
  an <- function(word) paste(if (grepl("^[aeiouAEIOU]", word)) "an" else "a", word)
  if (is.null(x)) return("NULL")
  if (is.object(x)) return(an(sprintf("%s object", class(x)[[1L]])))
  type <- typeof(x)
  if (length(x) == 1L && type %in% c("logical", "integer", "double", "character")) {
    if (is.na(x)) return(format(x))  # NA, or NaN
    # Quoted, so that an empty or blank string still shows.
    return(switch(type,
      logical = format(x),
      character = sprintf("the string %s", encodeString(x, quote = '"')),
      # Enough digits that a near-whole number does not print as a whole one.
      sprintf("the number %s", format(x, digits = 15L))
    ))
  }
  if (is.atomic(x)) return(sprintf("%s vector of length %d", an(type), length(x)))
  if (is.list(x)) return(sprintf("a list of length %d", length(x)))
  if (is.function(x)) return("a function")
  an(switch(type, language = "call", type))
}

is_string <- function(x) is.character(x) && length(x) == 1L && !is.na(x)

check_fd <- function(fd, arg = "fd") {
  if (!is.numeric(fd) || length(fd) != 1L || is.na(fd) || fd < 0 || fd != trunc(fd) ||
      fd > .Machine$integer.max) {
    fail("`%s` must be a single whole number >= 0, not %s", arg, describe(fd))
  }
  as.integer(fd)
}

check_flag <- function(x, arg) {
  if (!is.logical(x) || length(x) != 1L || is.na(x)) {
    fail("`%s` must be TRUE or FALSE, not %s", arg, describe(x))
  }
  x
}

# Paths reach open() as the bytes R holds: a name in the native encoding (or marked as bytes) is
# used as it is, even where a byte is not valid in the locale; only a name R marked as UTF-8 or
# Latin-1 is translated.
check_path <- function(path, arg) {
  if (!is_string(path) || !nzchar(path)) {
    fail("`%s` must be a single non-empty file path, not %s", arg, describe(path))
  }
  if (Encoding(path) %in% c("UTF-8", "latin1")) path <- enc2native(path)
  # Byte-wise: string functions refuse a name that is not valid in the locale.
  if (charToRaw(path)[[1L]] == charToRaw("~")) path.expand(path) else path
}

# Where a stream goes: a file path, or an open descriptor other than standard input.
check_target <- function(to) {
  if (is.character(to)) return(check_path(to, "to"))
  if (is.numeric(to) && length(to) == 1L && !is.na(to) && to == 0) {
    fail("`to` must not be 0: standard input is not a place to write to")
  }
  if (!is.numeric(to) || length(to) != 1L || is.na(to) || to < 1 || to != trunc(to) ||
      to > .Machine$integer.max) {
    fail("`to` must be a file path (a single non-empty string) or an open descriptor (a single whole number >= 1), not %s",
         describe(to))
  }
  as.integer(to)
}

# A raw vector as it is, or the bytes of a single string.
check_bytes <- function(x, arg) {
  if (is.raw(x)) {
    if (length(x) > .Machine$integer.max) fail("`%s` is longer than 2^31 - 1 bytes", arg)
    return(x)
  }
  if (is_string(x)) return(charToRaw(x))
  fail("`%s` must be a raw vector or a single non-NA string, not %s", arg, describe(x))
}
