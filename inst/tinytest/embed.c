/* A front end that embeds R the way GUIs do: R's console output reaches it only through the
 * write callback, never through descriptors 1 and 2, and what compiled code or child programs
 * write to those descriptors goes past R. Built and run by test_frontends.R.
 * Usage: embed SCRIPT CONSOLE_OUT CONSOLE_ERR
 * Sources SCRIPT with R's console output (type 0) appended to CONSOLE_OUT and its error stream
 * (type 1) to CONSOLE_ERR. Exits 0 when the script ran through, 1 when it ended in an R error,
 * 2 when R could not be started. */
#define R_INTERFACE_PTRS
#define R_NO_REMAP
#include <Rembedded.h>
#include <Rinterface.h>
#include <Rinternals.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int console[2] = {-1, -1};

static void write_console(const char *buf, int len, int otype) {
  int fd = console[otype != 0];
  while (len > 0) {
    ssize_t w = write(fd, buf, (size_t)len);
    if (w <= 0) return;
    buf += w;
    len -= (int)w;
  }
}

/* The console files are the front end's own: close-on-exec, so child programs never get them. */
static int open_console(const char *path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fputs("usage: embed SCRIPT CONSOLE_OUT CONSOLE_ERR\n", stderr);
    return 2;
  }
  console[0] = open_console(argv[2]);
  console[1] = open_console(argv[3]);
  if (console[0] < 0 || console[1] < 0) {
    perror("embed: cannot open the console files");
    return 2;
  }
  char *args[] = {"R", "--vanilla", "--silent", "--no-echo"};
  R_SignalHandlers = 0;
  Rf_initialize_R(4, args);
  /* As a GUI: no console FILE streams, all console text through the callback. */
  R_Outputfile = NULL;
  R_Consolefile = NULL;
  ptr_R_WriteConsole = NULL;
  ptr_R_WriteConsoleEx = write_console;
  R_Interactive = FALSE;
  setup_Rmainloop();

  SEXP call = PROTECT(Rf_lang2(Rf_install("source"), Rf_mkString(argv[1])));
  int failed = 0;
  R_tryEval(call, R_GlobalEnv, &failed);
  UNPROTECT(1);
  Rf_endEmbeddedR(0);
  return failed ? 1 : 0;
}
