# ---- the shared object's interface: registered routines and exported symbols ----
source("helpers.R", local = TRUE)
check_leaks <- leak_guard()

routines <- getDLLRegisteredRoutines("client")
calls <- routines$.Call
expect_equal(names(calls), c(
  "kestrin_base64_encode", "kestrin_base64_decode", "kestrin_disable_inheritance",
  "kestrin_write", "kestrin_set_stdout", "kestrin_set_stderr",
  "kestrin_set_stdout_to_file", "kestrin_set_stderr_to_file"
))
expect_equal(unname(vapply(calls, function(r) r$numParameters, 0L)), c(1L, 1L, 0L, 2L, 2L, 2L, 1L, 1L))
expect_equal(length(routines$.C) + length(routines$.Fortran) + length(routines$.External), 0L)

# Symbols are forced: a routine is reached through its registered object, never a name string.
expect_error(.Call("kestrin_write", 1L, raw(0L)), "kestrin_write")
expect_inherits(client:::kestrin_write, "NativeSymbolInfo")
expect_false(getLoadedDLLs()[["client"]][["dynamicLookup"]])

# The dynamic symbol table holds the entry point, the routines and the error helpers: nothing else.
nm <- Sys.which("nm")
if (nzchar(nm)) {
  table <- system2(nm, c("-D", "--defined-only", shQuote(client_so)), stdout = TRUE)
  defined <- sub("^.* ", "", table[grepl("^[0-9a-f]+ [TtDdBbRrVvWw] ", table)])
  expect_equal(sort(defined), sort(c(
    "R_init_client", names(calls), "r_throw_error", "r_throw_system_error"
  )))
  expect_false("kestrin_set_std" %in% defined)
}

check_leaks()
