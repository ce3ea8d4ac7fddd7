# Functions of a lazily loaded namespace are promises until first used. An interrupt that lands
# while one is first loaded, inside a redirection's bookkeeping, can leave it unusable for the
# rest of the session; loading them all with the package closes that window.
.onLoad <- function(libname, pkgname) {
  ns <- environment(.onLoad)
  for (name in ls(ns, all.names = TRUE)) get(name, envir = ns)
}
