#include "protocol/diagnostic.h"

#include <atomic>
#include <cstdio>

namespace zarvek {
namespace {

void writeToStdout(unsigned long code) {
  std::printf("%lu", code);
  std::fflush(stdout);
}

std::atomic<DiagnosticSink> currentSink{writeToStdout};

}  // namespace

void writeErrorCode(unsigned long code) { currentSink.load()(code); }

void setDiagnosticSink(DiagnosticSink sink) { currentSink.store(sink ? sink : writeToStdout); }

}  // namespace zarvek
