#pragma once
// Captures the codes written to the diagnostic stream while it lives, so a test
// can tell that a failed system call was reported (and which code).
#include <vector>

#include "protocol/diagnostic.h"

namespace zarvek::test {

class DiagnosticLog {
 public:
  DiagnosticLog() {
    codes().clear();
    setDiagnosticSink([](unsigned long code) { codes().push_back(code); });
  }
  ~DiagnosticLog() { setDiagnosticSink(nullptr); }
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  static std::vector<unsigned long>& codes() {
    static std::vector<unsigned long> written;
    return written;
  }
};

}  // namespace zarvek::test
