// The error output of a standard CGI program, logged line by line at
// LOG_WARN with the transaction's ID. Control characters (and the
// backslash) are written as escapes, so no program can forge a log line;
// at most CGI_ERROR_OUTPUT_MOST bytes are logged per run, and what follows
// is only counted.
#include <cstdio>

#include "cgi/CgiRun.h"
#include "log/Log.h"

namespace {

void Flush(CgiErrorOutput *output) {
  if (output->textLength == 0) return;
  output->text[output->textLength] = '\0';
  LogPrint(LOG_WARN, "CGI error output (ID=%X): %s", output->id, output->text);
  output->textLength = 0;
}

// Appends one byte as it is written into the log.
void Append(CgiErrorOutput *output, unsigned char byte) {
  char escaped[8];
  int length;
  if (byte == '\\') {
    length = snprintf(escaped, sizeof escaped, "\\\\");
  } else if (byte < 0x20 || byte == 0x7F) {
    length = snprintf(escaped, sizeof escaped, "\\x%02X", byte);
  } else {
    escaped[0] = static_cast<char>(byte);
    length = 1;
  }
  if (output->textLength + static_cast<size_t>(length) >= sizeof output->text) Flush(output);
  for (int i = 0; i < length; ++i) output->text[output->textLength++] = escaped[i];
}

}  // namespace

void CgiErrorOutputTake(CgiErrorOutput *output, const char *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (output->taken >= CGI_ERROR_OUTPUT_MOST) {
      output->dropped += length - i;
      return;
    }
    ++output->taken;
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (output->pendingReturn && byte != '\n') Append(output, '\r');
    output->pendingReturn = byte == '\r';
    if (byte == '\r') continue;
    if (byte == '\n') {
      Flush(output);
      continue;
    }
    Append(output, byte);
  }
}

void CgiErrorOutputEnd(CgiErrorOutput *output) {
  if (output->pendingReturn) Append(output, '\r');
  output->pendingReturn = false;
  Flush(output);
  if (output->dropped > 0)
    LogPrint(LOG_WARN, "CGI error output (ID=%X): %llu more bytes not logged", output->id,
             static_cast<unsigned long long>(output->dropped));
  output->dropped = 0;
}
