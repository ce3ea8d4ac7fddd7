// Raising R errors from native code: the message, the errno text and the raising location.
#ifndef CLIENT_ERRORS_H
#define CLIENT_ERRORS_H

#define R_NO_REMAP
#define STRICT_R_HEADERS
#include <R_ext/Visibility.h>
#include <Rinternals.h>

// Both helpers format into one static buffer (a message is cut at 4095 characters) and raise
// with Rf_error, which long-jumps: they never return to the caller.
extern "C" [[noreturn]] attribute_visible void r_throw_error(const char *func, const char *filename,
                                                             int line, const char *msg, ...)
    __attribute__((format(printf, 4, 5)));

// A null `sysmsg` stands for strerror(errnum).
extern "C" [[noreturn]] attribute_visible void
r_throw_system_error(const char *func, const char *filename, int line, int errnum,
                     const char *sysmsg, const char *msg, ...)
    __attribute__((format(printf, 6, 7)));

#define R_THROW_ERROR(...) r_throw_error(__func__, __FILE__, __LINE__, __VA_ARGS__)

// `errnum` must be errno as it was right after the failing call.
#define R_THROW_SYSTEM_ERROR(errnum, ...)                                                          \
  r_throw_system_error(__func__, __FILE__, __LINE__, (errnum), nullptr, __VA_ARGS__)

#endif
