// The two error helpers and the message buffer they share.
#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// Only has to live until Rf_error has copied it into the condition message.
char message_buffer[4096];
} // namespace

extern "C" void r_throw_error(const char *func, const char *filename, int line, const char *msg,
                              ...) {
  va_list args;
  message_buffer[0] = '\0';
  va_start(args, msg);
  // A message that does not fit is cut, never refused.
  (void)vsnprintf(message_buffer, sizeof message_buffer, msg, args);
  va_end(args);
  Rf_error("%s @%s:%d (%s)", message_buffer, filename, line, func);
}

extern "C" void r_throw_system_error(const char *func, const char *filename, int line, int errnum,
                                     const char *sysmsg, const char *msg, ...) {
  va_list args;
  if (sysmsg == nullptr) sysmsg = strerror(errnum);
  message_buffer[0] = '\0';
  va_start(args, msg);
  (void)vsnprintf(message_buffer, sizeof message_buffer, msg, args);
  va_end(args);
  Rf_error("%s (system error %d, %s) @%s:%d (%s)", message_buffer, errnum, sysmsg, filename, line,
           func);
}
