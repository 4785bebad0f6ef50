// Operator diagnostics on stderr, one line each ("serialhub: COM7 (/dev/ttyS1):
// opened"), with a priority prefix ("<4>") when stderr is the journal's stream.
#pragma once

#include <string>

namespace shub::os {

enum class LogLevel { error = 3, warning = 4, info = 6, debug = 7 };

// Writes "<program>: <text>"; debug lines only when verbose. Safe from any thread.
void logLine(LogLevel level, const std::string& text);

// The start of such a line, for a message built in advance (a signal handler cannot format).
std::string logLinePrefix(LogLevel level);

void setVerboseLog(bool verbose);
bool verboseLog();

// "text: strerror(error)".
std::string withError(const std::string& text, int error);

}  // namespace shub::os
