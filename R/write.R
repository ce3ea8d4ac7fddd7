fd_write <- function(fd, data) {
  fd <- check_fd(fd)
  data <- check_bytes(data, "data")
  .Call(kestrin_write, fd, data)
}
