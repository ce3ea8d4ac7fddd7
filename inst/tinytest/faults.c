/* Test-only fault injection: system calls that fail on demand, and a storm of SIGINTs.
 * Built by test_faults.R with R CMD SHLIB and loaded into a child R with LD_PRELOAD; never part
 * of the package. It is not linked to libR, so the shells that start R can preload it too: the
 * R entry points use only R functions, which bind lazily once R has loaded.
 *
 * The wrappers count, while armed, the calls to dup, dup2, open, close, write and fcntl made from
 * one shared object (the package's), and make the Nth call of the chosen one fail with the
 * chosen errno: that call alone, every call from it on, or (a full descriptor table) any dup or
 * open once N - 1 free slots are taken. Calls from R itself or from the test helpers are neither
 * counted nor failed.
 * They only touch static memory and atomics, so they are safe in a signal handler. A failing
 * close releases the descriptor first, as Linux does whatever close reports. */
#define _GNU_SOURCE
#define R_NO_REMAP
#include <R_ext/Utils.h>
#include <Rinternals.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { C_DUP, C_DUP2, C_OPEN, C_CLOSE, C_WRITE, C_FCNTL, N_CALLS };
static const char *const call_names[N_CALLS] = {"dup", "dup2", "open", "close", "write", "fcntl"};

static int (*real_dup)(int);
static int (*real_dup2)(int, int);
static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_close)(int);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_fcntl)(int, int, ...);
static int (*real_fcntl64)(int, int, ...);

/* dlsym may allocate: resolve everything once, when the object is loaded. */
__attribute__((constructor)) static void resolve(void) {
  real_dup = (int (*)(int))dlsym(RTLD_NEXT, "dup");
  real_dup2 = (int (*)(int, int))dlsym(RTLD_NEXT, "dup2");
  real_open = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
  real_open64 = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open64");
  real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
  real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  real_fcntl = (int (*)(int, int, ...))dlsym(RTLD_NEXT, "fcntl");
  real_fcntl64 = (int (*)(int, int, ...))dlsym(RTLD_NEXT, "fcntl64");
}

static int armed;          /* counting at all */
static int fail_call = -1; /* which call fails, or -1 */
static int fail_nth;       /* at which count, from 1 */
static int fail_mode;      /* ONCE, AFTER (every later one too) or FULL (see below) */
static int fail_errno;
static int counts[N_CALLS];
static int fired;
static int failed_fd; /* the descriptor the first failed call was given, or -1 */
/* FULL: the descriptor table has N - 1 free slots. dup and open take one each, close frees one,
 * and dup or open fails with the errno (EMFILE) when none is free: a process at its limit. */
enum { ONCE, AFTER, FULL };
static int table_full, free_slots;
#define RETRY_LIMIT 100000
static uintptr_t from_lo, from_hi; /* the calling object's mapped code and data */

/* Who made the counted calls, for the report: call index and return address. */
#define LOG_SIZE 64
static struct {
  int call;
  void *from;
} call_log[LOG_SIZE];
static int log_used;

/* Descriptors a counted call has just shown to be open: returned by dup or open, or used by a
 * call that succeeded, and not closed since. EBADF on one of them could only come from a close
 * by another thread: it is not injected there, and `impossible` counts the skips. */
#define KNOWN 1024
static unsigned char known_open[KNOWN];
static int impossible;

static void known(int fd, int open) {
  if (fd >= 0 && fd < KNOWN) known_open[fd] = (unsigned char)open;
}

enum { UNCOUNTED = -1, PASS = 0, FAIL = 1 };

/* FAIL when this call, given descriptor `fd` (-1 for open), is one to fail (errno is then set),
 * PASS when it is counted and goes through, UNCOUNTED when it is not the package's or not armed. */
static int inject(int call, void *from, int fd) {
  if (!__atomic_load_n(&armed, __ATOMIC_SEQ_CST)) return UNCOUNTED;
  if ((uintptr_t)from < from_lo || (uintptr_t)from >= from_hi) return UNCOUNTED;
  int n = __atomic_add_fetch(&counts[call], 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&log_used, __ATOMIC_SEQ_CST) < LOG_SIZE) {
    int slot = __atomic_fetch_add(&log_used, 1, __ATOMIC_SEQ_CST);
    if (slot < LOG_SIZE) {
      call_log[slot].call = call;
      call_log[slot].from = from;
    }
  }
  int fail = call == fail_call && (n == fail_nth || (n > fail_nth && fail_mode == AFTER));
  if (__atomic_load_n(&table_full, __ATOMIC_SEQ_CST) && (call == C_DUP || call == C_OPEN)) {
    if (__atomic_load_n(&free_slots, __ATOMIC_SEQ_CST) > 0) {
      __atomic_sub_fetch(&free_slots, 1, __ATOMIC_SEQ_CST);
      return PASS;
    }
    fail = 1;
  }
  if (!fail) return PASS;
  if (fail_errno == EBADF && fd >= 0 && fd < KNOWN && known_open[fd]) {
    __atomic_add_fetch(&impossible, 1, __ATOMIC_SEQ_CST);
    return PASS;
  }
  /* A caller that retries for ever gets its call through in the end, and the count shows it. */
  if (__atomic_load_n(&fired, __ATOMIC_SEQ_CST) >= RETRY_LIMIT) return PASS;
  if (__atomic_add_fetch(&fired, 1, __ATOMIC_SEQ_CST) == 1) failed_fd = fd;
  errno = fail_errno;
  return FAIL;
}

#define FROM __builtin_return_address(0)

int dup(int fd) {
  int how = inject(C_DUP, FROM, fd);
  if (how == FAIL) return -1;
  int rc = real_dup(fd);
  if (how == PASS && rc >= 0) {
    known(fd, 1);
    known(rc, 1);
  }
  return rc;
}

int dup2(int fd, int fd2) {
  int how = inject(C_DUP2, FROM, fd);
  if (how == FAIL) return -1;
  int rc = real_dup2(fd, fd2);
  if (how == PASS && rc >= 0) {
    known(fd, 1);
    known(fd2, 1);
  }
  return rc;
}

static mode_t open_mode(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

/* `from` is the interposer's caller, taken there: only calls from client.so count. */
static int pass_open(int (*real)(const char *, int, ...), void *from, const char *path, int flags,
                     mode_t mode) {
  int how = inject(C_OPEN, from, -1);
  if (how == FAIL) return -1;
  int rc = real(path, flags, mode);
  if (how == PASS) known(rc, 1);
  return rc;
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = open_mode(flags, ap);
  va_end(ap);
  return pass_open(real_open, FROM, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = open_mode(flags, ap);
  va_end(ap);
  return pass_open(real_open64 ? real_open64 : real_open, FROM, path, flags, mode);
}

int close(int fd) {
  int how = inject(C_CLOSE, FROM, fd), err = errno;
  int rc = real_close(fd);
  if (rc == 0 && __atomic_load_n(&table_full, __ATOMIC_SEQ_CST))
    __atomic_add_fetch(&free_slots, 1, __ATOMIC_SEQ_CST);
  if (how != UNCOUNTED) known(fd, 0);
  if (how != FAIL) return rc;
  errno = err;
  return -1;
}

ssize_t write(int fd, const void *buf, size_t n) {
  int how = inject(C_WRITE, FROM, fd);
  if (how == FAIL) return -1;
  ssize_t rc = real_write(fd, buf, n);
  if (how == PASS && rc >= 0) known(fd, 1);
  return rc;
}

/* The third argument is an int or a pointer, or absent: passed on as a word either way. */
static int pass_fcntl(int (*real)(int, int, ...), void *from, int fd, int cmd, uintptr_t arg) {
  int how = inject(C_FCNTL, from, fd);
  if (how == FAIL) return -1;
  int rc = real(fd, cmd, arg);
  if (how == PASS && rc >= 0) known(fd, 1);
  return rc;
}

int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  uintptr_t arg = va_arg(ap, uintptr_t);
  va_end(ap);
  return pass_fcntl(real_fcntl, FROM, fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  uintptr_t arg = va_arg(ap, uintptr_t);
  va_end(ap);
  return pass_fcntl(real_fcntl64 ? real_fcntl64 : real_fcntl, FROM, fd, cmd, arg);
}

/* ---- control from R ---- */

static SEXP named_ints(const int *values, const char *const *names, int n) {
  SEXP out = PROTECT(Rf_allocVector(INTSXP, n));
  SEXP nm = PROTECT(Rf_allocVector(STRSXP, n));
  for (int i = 0; i < n; ++i) {
    INTEGER(out)[i] = values[i];
    SET_STRING_ELT(nm, i, Rf_mkChar(names[i]));
  }
  Rf_setAttrib(out, Rf_install("names"), nm);
  UNPROTECT(2);
  return out;
}

/* Whether the wrappers are in place: false when the object was not preloaded. */
SEXP fs_preloaded(void) {
  Dl_info first, self;
  void *sym = dlsym(RTLD_DEFAULT, "dup");
  int ok = sym && dladdr(sym, &first) && dladdr((void *)&inject, &self) &&
           first.dli_fbase == self.dli_fbase;
  return Rf_ScalarLogical(ok);
}

/* The address range of the loaded object that holds `addr`. */
struct range {
  uintptr_t addr, lo, hi;
};

static int find_range(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size;
  struct range *r = (struct range *)data;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph->p_vaddr;
    if (start < lo) lo = start;
    if (start + ph->p_memsz > hi) hi = start + ph->p_memsz;
  }
  if (r->addr < lo || r->addr >= hi) return 0;
  r->lo = lo;
  r->hi = hi;
  return 1;
}

SEXP fs_retry_limit(void) { return Rf_ScalarInteger(RETRY_LIMIT); }

SEXP fs_errnos(void) {
  static const char *const names[] = {"EMFILE", "EINTR", "EBADF", "ENOSPC", "EIO"};
  const int values[] = {EMFILE, EINTR, EBADF, ENOSPC, EIO};
  return named_ints(values, names, 5);
}

/* call: "" to count only, or a call name; nth: from 1; err: the errno to set; so: the path of the
 * loaded shared object whose calls count; mode: "once", "after" (the later calls fail too, as
 * on a full disk) or "full" (no call named: dup and open find N - 1 free slots, see FULL). */
SEXP fs_arm(SEXP call, SEXP nth, SEXP err, SEXP so, SEXP mode) {
  const char *name = R_CHAR(STRING_ELT(call, 0));
  int which = -1;
  for (int i = 0; i < N_CALLS; ++i)
    if (strcmp(name, call_names[i]) == 0) which = i;
  if (which < 0 && name[0] != '\0') Rf_error("no such call: %s", name);
  void *lib = dlopen(R_CHAR(STRING_ELT(so, 0)), RTLD_LAZY | RTLD_NOLOAD);
  if (lib == NULL) Rf_error("%s is not loaded", R_CHAR(STRING_ELT(so, 0)));
  struct range r = {(uintptr_t)dlsym(lib, "R_init_client"), 0, 0};
  dlclose(lib);
  if (r.addr == 0 || !dl_iterate_phdr(find_range, &r)) Rf_error("cannot find the object's range");
  from_lo = r.lo;
  from_hi = r.hi;
  memset(counts, 0, sizeof counts);
  fired = 0;
  failed_fd = -1;
  impossible = 0;
  memset(known_open, 0, sizeof known_open);
  log_used = 0;
  fail_call = which;
  fail_nth = Rf_asInteger(nth);
  fail_errno = Rf_asInteger(err);
  const char *m = R_CHAR(STRING_ELT(mode, 0));
  fail_mode = strcmp(m, "after") == 0 ? AFTER : strcmp(m, "full") == 0 ? FULL : ONCE;
  table_full = fail_mode == FULL;
  free_slots = fail_nth - 1;
  __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
  return Rf_ScalarLogical(1);
}

/* Disarms; returns the calls counted while armed, "fired": how many of them failed, "fd": the
 * descriptor the first failed call was given, and "impossible": the EBADF failures skipped. */
SEXP fs_disarm(void) {
  __atomic_store_n(&armed, 0, __ATOMIC_SEQ_CST);
  int values[N_CALLS + 3];
  const char *names[N_CALLS + 3];
  for (int i = 0; i < N_CALLS; ++i) {
    values[i] = counts[i];
    names[i] = call_names[i];
  }
  values[N_CALLS] = fired;
  names[N_CALLS] = "fired";
  values[N_CALLS + 1] = failed_fd;
  names[N_CALLS + 1] = "fd";
  values[N_CALLS + 2] = impossible;
  names[N_CALLS + 2] = "impossible";
  return named_ints(values, names, N_CALLS + 3);
}

/* The counted calls of the last armed run, in order, as "call<-object". */
SEXP fs_log(void) {
  int n = log_used < LOG_SIZE ? log_used : LOG_SIZE;
  SEXP out = PROTECT(Rf_allocVector(STRSXP, n));
  for (int i = 0; i < n; ++i) {
    Dl_info info;
    const char *obj = "?";
    if (dladdr(call_log[i].from, &info) && info.dli_fname) {
      const char *slash = strrchr(info.dli_fname, '/');
      obj = slash ? slash + 1 : info.dli_fname;
    }
    char buf[256];
    snprintf(buf, sizeof buf, "%s<-%s", call_names[call_log[i].call], obj);
    SET_STRING_ELT(out, i, Rf_mkChar(buf));
  }
  UNPROTECT(1);
  return out;
}

/* A duplicate made past the wrappers, for the tests' own bookkeeping. */
SEXP fs_dup(SEXP fd) { return Rf_ScalarInteger(real_dup(Rf_asInteger(fd))); }

/* ---- the interrupt storm ----
 * A thread sends SIGINT to R's main thread `count` times, waiting a random time between
 * `min_us` and `max_us` microseconds before each. SIGINT is blocked in the thread itself, so
 * R's handler always runs on the main thread. */

static pthread_t storm_thread, main_thread;
static int storm_running;
static volatile int storm_stop;
static int storm_count, storm_min_us, storm_max_us;
static volatile int storm_sent;
static unsigned long long storm_seed;

static unsigned long long next_random(void) {
  storm_seed ^= storm_seed << 13;
  storm_seed ^= storm_seed >> 7;
  storm_seed ^= storm_seed << 17;
  return storm_seed;
}

static void *storm(void *unused) {
  (void)unused;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, NULL);
  while (!storm_stop && storm_sent < storm_count) {
    long us = storm_min_us + (long)(next_random() % (unsigned)(storm_max_us - storm_min_us + 1));
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    if (storm_stop) break;
    pthread_kill(main_thread, SIGINT);
    storm_sent = storm_sent + 1;
  }
  return NULL;
}

SEXP fs_storm_start(SEXP count, SEXP min_us, SEXP max_us, SEXP seed) {
  if (storm_running) Rf_error("a storm is already running");
  storm_count = Rf_asInteger(count);
  storm_min_us = Rf_asInteger(min_us);
  storm_max_us = Rf_asInteger(max_us);
  storm_seed = (unsigned long long)Rf_asInteger(seed) * 2654435761ULL + 1ULL;
  storm_sent = 0;
  storm_stop = 0;
  main_thread = pthread_self();
  if (pthread_create(&storm_thread, NULL, storm, NULL) != 0) Rf_error("cannot start the storm");
  storm_running = 1;
  return Rf_ScalarLogical(1);
}

/* The SIGINTs sent so far. */
SEXP fs_storm_sent(void) { return Rf_ScalarInteger(storm_sent); }

SEXP fs_storm_stop(void) {
  if (storm_running) {
    storm_stop = 1;
    pthread_join(storm_thread, NULL);
    storm_running = 0;
    /* The last SIGINT may still be on its way to this thread, and it would land in the caller's
       code after the storm. A signal pending for a thread is handled on its return from any
       system call: one here hands it to R now, for the caller to raise. */
    sigset_t pending;
    sigpending(&pending);
  }
  return Rf_ScalarInteger(storm_sent);
}

/* Raises a pending interrupt now, so that none is left for code after the one under test. */
SEXP fs_check_interrupt(void) {
  R_CheckUserInterrupt();
  return Rf_ScalarLogical(1);
}
