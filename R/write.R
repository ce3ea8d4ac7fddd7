# The count is returned invisibly, as writeBin() and writeLines() keep theirs quiet: a script
# whose last line writes to descriptor 1 must not print the count into what it wrote.
fd_write <- function(fd, data) {
  fd <- check_fd(fd)
  data <- check_bytes(data, "data")
  invisible(.Call(kestrin_write, fd, data))
}
