/* Test-only native helpers: pipes, descriptor flags, signals and direct calls into client.so.
 * Built by helpers.R with R CMD SHLIB at test time; never part of the package. */
#define R_NO_REMAP
#include <Rinternals.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

static int int1(SEXP x) { return Rf_asInteger(x); }

SEXP th_pipe(SEXP nonblock) {
  int fds[2];
  if (pipe(fds) != 0) Rf_error("pipe: %s", strerror(errno));
  if (Rf_asLogical(nonblock)) fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  SEXP out = Rf_allocVector(INTSXP, 2);
  INTEGER(out)[0] = fds[0];
  INTEGER(out)[1] = fds[1];
  return out;
}

SEXP th_close(SEXP fd) { return Rf_ScalarInteger(close(int1(fd))); }

SEXP th_dup2(SEXP from, SEXP to) { return Rf_ScalarInteger(dup2(int1(from), int1(to))); }

SEXP th_open_read(SEXP path) {
  return Rf_ScalarInteger(open(R_CHAR(STRING_ELT(path, 0)), O_RDONLY));
}

SEXP th_open_write(SEXP path) {
  return Rf_ScalarInteger(open(R_CHAR(STRING_ELT(path, 0)), O_WRONLY));
}

/* Sets the soft limit on open descriptors; returns the old one. */
SEXP th_set_nofile(SEXP n) {
  struct rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  double old = (double)rl.rlim_cur;
  rl.rlim_cur = (rlim_t)Rf_asReal(n);
  if (setrlimit(RLIMIT_NOFILE, &rl) != 0) Rf_error("setrlimit: %s", strerror(errno));
  return Rf_ScalarReal(old);
}

/* Reads what is available without blocking, up to `max` bytes. */
SEXP th_read(SEXP fd, SEXP max) {
  int f = int1(fd), n = int1(max);
  int flags = fcntl(f, F_GETFL);
  fcntl(f, F_SETFL, flags | O_NONBLOCK);
  SEXP buf = PROTECT(Rf_allocVector(RAWSXP, n));
  int got = 0;
  while (got < n) {
    ssize_t r = read(f, RAW(buf) + got, (size_t)(n - got));
    if (r <= 0) break;
    got += (int)r;
  }
  fcntl(f, F_SETFL, flags);
  SEXP out = Rf_lengthgets(buf, got);
  UNPROTECT(1);
  return out;
}

/* Writes into a non-blocking descriptor until it would block; returns the bytes written. */
SEXP th_fill(SEXP fd) {
  char chunk[4096];
  memset(chunk, 'x', sizeof chunk);
  double total = 0;
  for (;;) {
    ssize_t w = write(int1(fd), chunk, sizeof chunk);
    if (w > 0) total += (double)w;
    else break;
  }
  return Rf_ScalarReal(total);
}

SEXP th_set_nonblock(SEXP fd) {
  int f = int1(fd);
  return Rf_ScalarInteger(fcntl(f, F_SETFL, fcntl(f, F_GETFL) | O_NONBLOCK));
}

SEXP th_set_blocking(SEXP fd) {
  int f = int1(fd);
  return Rf_ScalarInteger(fcntl(f, F_SETFL, fcntl(f, F_GETFL) & ~O_NONBLOCK));
}

/* F_GETFD flags, or -1 for a closed descriptor. */
SEXP th_fd_flags(SEXP fd) { return Rf_ScalarInteger(fcntl(int1(fd), F_GETFD)); }

SEXP th_set_fd_flags(SEXP fd, SEXP flags) {
  return Rf_ScalarInteger(fcntl(int1(fd), F_SETFD, int1(flags)));
}

SEXP th_fl_flags(SEXP fd) { return Rf_ScalarInteger(fcntl(int1(fd), F_GETFL)); }

/* The open descriptors, found with fcntl up to the soft limit (at most 65536): no /proc needed. */
SEXP th_open_fds(void) {
  struct rlimit rl;
  int max = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) max = (int)rl.rlim_cur;
  if (max > 65536) max = 65536;
  int n = 0;
  for (int fd = 0; fd < max; ++fd)
    if (fcntl(fd, F_GETFD) >= 0) ++n;
  SEXP out = PROTECT(Rf_allocVector(INTSXP, n));
  for (int fd = 0, i = 0; fd < max && i < n; ++fd)
    if (fcntl(fd, F_GETFD) >= 0) INTEGER(out)[i++] = fd;
  UNPROTECT(1);
  return out;
}

/* What a descriptor or a path refers to, as "device:inode"; NA when closed or missing. */
static SEXP identity(int ok, const struct stat *st) {
  char buf[64];
  if (!ok) return Rf_ScalarString(NA_STRING);
  snprintf(buf, sizeof buf, "%llu:%llu", (unsigned long long)st->st_dev,
           (unsigned long long)st->st_ino);
  return Rf_mkString(buf);
}

SEXP th_fd_id(SEXP fd) {
  struct stat st;
  return identity(fstat(int1(fd), &st) == 0, &st);
}

SEXP th_path_id(SEXP path) {
  struct stat st;
  return identity(stat(R_CHAR(STRING_ELT(path, 0)), &st) == 0, &st);
}

static void on_alarm(int sig) { (void)sig; }

/* Arms SIGALRM without SA_RESTART so that a blocked system call fails with EINTR. */
SEXP th_alarm(SEXP usec) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, NULL);
  struct itimerval t;
  memset(&t, 0, sizeof t);
  t.it_value.tv_usec = int1(usec);
  return Rf_ScalarInteger(setitimer(ITIMER_REAL, &t, NULL));
}

/* Output from compiled code: C stdio to stdout, and raw writes to descriptors 1 and 2. */
SEXP th_printf(SEXP text) {
  printf("%s", R_CHAR(STRING_ELT(text, 0)));
  return R_NilValue;
}

SEXP th_write_fd(SEXP fd, SEXP text) {
  const char *s = R_CHAR(STRING_ELT(text, 0));
  return Rf_ScalarInteger((int)write(int1(fd), s, strlen(s)));
}

/* The exported error helpers, looked up in client.so as any other program would. */
typedef void (*throw_error_fn)(const char *, const char *, int, const char *, ...);
typedef void (*throw_system_error_fn)(const char *, const char *, int, int, const char *,
                                      const char *, ...);

static void *client_symbol(SEXP so, const char *name) {
  void *lib = dlopen(R_CHAR(STRING_ELT(so, 0)), RTLD_NOW | RTLD_NOLOAD);
  if (lib == NULL) Rf_error("client.so is not loaded");
  void *sym = dlsym(lib, name);
  dlclose(lib);
  if (sym == NULL) Rf_error("%s is not exported", name);
  return sym;
}

SEXP th_throw_error(SEXP so, SEXP msg) {
  throw_error_fn f = (throw_error_fn)client_symbol(so, "r_throw_error");
  f("th_throw_error", "fdhelper.c", 7, "%s", R_CHAR(STRING_ELT(msg, 0)));
  return R_NilValue;
}

SEXP th_throw_system_error(SEXP so, SEXP errnum, SEXP sysmsg, SEXP msg) {
  throw_system_error_fn f = (throw_system_error_fn)client_symbol(so, "r_throw_system_error");
  const char *sm = Rf_isNull(sysmsg) ? NULL : R_CHAR(STRING_ELT(sysmsg, 0));
  f("th_throw_system_error", "fdhelper.c", 42, int1(errnum), sm, "%s", R_CHAR(STRING_ELT(msg, 0)));
  return R_NilValue;
}
