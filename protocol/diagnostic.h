#pragma once
// The diagnostic stream. When a system call fails, the operation writes the
// system's error code (GetLastError on Windows, errno elsewhere) as a bare
// unsigned decimal number to standard output and flushes it. The windowed
// program keeps exactly that; a front end that prints its own lines (the
// command line) installs a sink of its own.

namespace zarvek {

using DiagnosticSink = void (*)(unsigned long code);

void writeErrorCode(unsigned long code);

// Installs a sink; nullptr restores the default (bare number on stdout).
void setDiagnosticSink(DiagnosticSink sink);

}  // namespace zarvek
