disable_inheritance <- function() {
  invisible(.Call(kestrin_disable_inheritance))
}
