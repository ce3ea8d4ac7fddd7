// Descriptor control: writes, standard stream redirection, close-on-exec; and the call table.
#include "errors.h"

#include <R_ext/Rdynload.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Routines trust the R wrappers for types, but never read element 0 of an empty vector.
void need_element(SEXP x, const char *func, const char *what) {
  if (Rf_xlength(x) < 1)
    r_throw_error(func, __FILE__, __LINE__, "Cannot read %s: empty vector", what);
}

const char *const stream_names[] = {"stdin", "stdout", "stderr"};

// Points `target` (1 or 2) at what `fd` refers to and consumes `fd`. Unless `drop`, first saves a
// duplicate of `target` and returns its number, or -1 when `target` was closed: pointing the
// stream back with -1 means closing it, done by passing `target` itself with `drop`. When the
// worker fails, `fd` stays open for the caller unless `close_fd_on_failure`; a saved duplicate
// never outlives a failure.
SEXP kestrin_set_std(int target, int fd, int drop, bool close_fd_on_failure) {
  int saved = -1;
  if (!drop) {
    saved = dup(target);
    if (saved < 0 && errno != EBADF) {
      int err = errno;
      if (close_fd_on_failure) close(fd);
      R_THROW_SYSTEM_ERROR(err, "Cannot reroute %s", stream_names[target]);
    }
    // dup took the lowest free number: `fd` itself when it was closed. Going on would return a
    // saved number that the close of `fd` below releases at once.
    if (saved >= 0 && saved == fd) {
      close(saved);
      R_THROW_SYSTEM_ERROR(EBADF, "Cannot reroute %s", stream_names[target]);
    }
  }
  if (fd == target) {
    // The stream pointed at itself: nothing moves. Dropped, it is closed, as dup2 onto itself
    // followed by the close of `fd` would leave it.
    if (drop) close(target);
  } else {
    if (dup2(fd, target) < 0) {
      int err = errno;
      if (saved >= 0) close(saved);
      if (close_fd_on_failure) close(fd);
      R_THROW_SYSTEM_ERROR(err, "Cannot reroute %s", stream_names[target]);
    }
    close(fd);
  }
  return drop ? R_NilValue : Rf_ScalarInteger(saved);
}

SEXP set_std_to_file(int target, SEXP path, const char *func) {
  need_element(path, func, "path");
  const char *file = R_CHAR(STRING_ELT(path, 0));
  int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    r_throw_system_error(func, __FILE__, __LINE__, errno, nullptr, "Cannot open new %s file `%s`",
                         stream_names[target], file);
  }
  // The file took the stream's own number, so the stream was closed: that is what is saved.
  if (fd == target) return Rf_ScalarInteger(-1);
  return kestrin_set_std(target, fd, 0, true);
}

SEXP set_std(int target, SEXP fd, SEXP drop, const char *func) {
  need_element(fd, func, "fd");
  need_element(drop, func, "drop");
  return kestrin_set_std(target, INTEGER(fd)[0], LOGICAL(drop)[0] != 0, false);
}

} // namespace

// fd: integer descriptor; data: raw vector. One write(2); returns the count, 0 on EAGAIN.
// Raises "Cannot write to fd" on any other failure, EINTR included.
extern "C" attribute_visible SEXP kestrin_write(SEXP fd, SEXP data) {
  need_element(fd, "kestrin_write", "fd");
  int fildes = INTEGER(fd)[0];
  const Rbyte *bytes = RAW(data);
  int length = LENGTH(data);
  ssize_t written = write(fildes, bytes, static_cast<size_t>(length));
  if (written < 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return Rf_ScalarInteger(0);
    R_THROW_SYSTEM_ERROR(err, "Cannot write to fd");
  }
  return Rf_ScalarInteger(static_cast<int>(written));
}

// fd: descriptor to point stdout at, consumed; drop: logical. Returns the saved stdout as an
// integer (-1: stdout was closed), or NULL when `drop`; fd 1 with `drop` closes stdout.
// Raises "Cannot reroute stdout".
extern "C" attribute_visible SEXP kestrin_set_stdout(SEXP fd, SEXP drop) {
  return set_std(1, fd, drop, "kestrin_set_stdout");
}

// As kestrin_set_stdout, for stderr.
extern "C" attribute_visible SEXP kestrin_set_stderr(SEXP fd, SEXP drop) {
  return set_std(2, fd, drop, "kestrin_set_stderr");
}

// path: file to create or truncate (mode 0644) and point stdout at. Returns the saved stdout
// (-1: stdout was closed). Raises "Cannot open new stdout file `path`" or "Cannot reroute stdout".
extern "C" attribute_visible SEXP kestrin_set_stdout_to_file(SEXP path) {
  return set_std_to_file(1, path, "kestrin_set_stdout_to_file");
}

// As kestrin_set_stdout_to_file, for stderr.
extern "C" attribute_visible SEXP kestrin_set_stderr_to_file(SEXP path) {
  return set_std_to_file(2, path, "kestrin_set_stderr_to_file");
}

// Sets FD_CLOEXEC on descriptors 0, 1, 2, ... Descriptors below 16 are always tried; the scan
// ends at the first failure at or above 16 with a nonzero errno, normally the first closed
// descriptor there. Never raises; returns NULL.
extern "C" attribute_visible SEXP kestrin_disable_inheritance() {
  const int floor = 16;
  for (int fd = 0;; ++fd) {
    int flags;
    do {
      flags = fcntl(fd, F_GETFD);
    } while (flags < 0 && errno == EINTR);
    if (flags >= 0) {
      if (flags & FD_CLOEXEC) continue;
      int rc;
      do {
        rc = fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
      } while (rc < 0 && errno == EINTR);
      if (rc == 0) continue;
    }
    int err = errno;
    if (fd < floor || err == 0) continue;
    break;
  }
  return R_NilValue;
}

extern "C" SEXP kestrin_base64_encode(SEXP x);
extern "C" SEXP kestrin_base64_decode(SEXP x);

namespace {
const R_CallMethodDef call_methods[] = {
    {"kestrin_base64_encode", reinterpret_cast<DL_FUNC>(&kestrin_base64_encode), 1},
    {"kestrin_base64_decode", reinterpret_cast<DL_FUNC>(&kestrin_base64_decode), 1},
    {"kestrin_disable_inheritance", reinterpret_cast<DL_FUNC>(&kestrin_disable_inheritance), 0},
    {"kestrin_write", reinterpret_cast<DL_FUNC>(&kestrin_write), 2},
    {"kestrin_set_stdout", reinterpret_cast<DL_FUNC>(&kestrin_set_stdout), 2},
    {"kestrin_set_stderr", reinterpret_cast<DL_FUNC>(&kestrin_set_stderr), 2},
    {"kestrin_set_stdout_to_file", reinterpret_cast<DL_FUNC>(&kestrin_set_stdout_to_file), 1},
    {"kestrin_set_stderr_to_file", reinterpret_cast<DL_FUNC>(&kestrin_set_stderr_to_file), 1},
    {nullptr, nullptr, 0}};
} // namespace

extern "C" attribute_visible void R_init_client(DllInfo *dll) {
  R_registerRoutines(dll, nullptr, call_methods, nullptr, nullptr);
  R_useDynamicSymbols(dll, FALSE);
  R_forceSymbols(dll, TRUE);
}
