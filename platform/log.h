// Diagnostics on standard error, one line each, for an operator: GNU style
// ("serialhub: COM7 (/dev/ttyS1): opened"), with the sd-daemon priority
// prefix ("<4>") when standard error is the journal's stream, so journalctl
// shows each line at its level. Standard output is never used here.
#pragma once

#include <string>

namespace ce {

enum class LogLevel { error = 3, warning = 4, info = 6, debug = 7 };

// Writes one line, "<program>: <text>", with a priority prefix when stderr is
// the journal. Debug lines only when verbose. Safe from any thread.
void logLine(LogLevel level, const std::string& text);

// The start of such a line (priority prefix and program name), for messages
// that must be built in advance (a signal handler cannot format).
std::string logLinePrefix(LogLevel level);

void setVerboseLog(bool verbose);
bool verboseLog();

// "text: strerror(error)".
std::string withError(const std::string& text, int error);

}  // namespace ce
