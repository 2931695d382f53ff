#pragma once
// Diagnostics for the developer: UTF-8 lines on standard error, only when asked
// for (--verbose, or TARVEX_DEBUG=1 in the environment). Standard output stays
// for what scripts read. Safe from any thread.

#include <string>

namespace tarvex {

// On when SetVerbose(true) was called or TARVEX_DEBUG is "1".
bool Verbose();
void SetVerbose(bool on);

// printf-style; the texts are UTF-8 (GBK from the wire is converted first:
// DiagGbk). A line feed is added when the text has none.
void Diag(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One text that came as GBK bytes (config.ini names, message bodies).
void DiagGbk(const std::string& prefix, const std::string& gbk);

} // namespace tarvex
