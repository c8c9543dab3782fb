#pragma once
// A TransferUi that shows nothing: for an engine that no front end has joined
// yet, and for the fuzz target.
#include "job/transfer_ui.h"

namespace zarvek {

class SilentUi : public TransferUi {
 public:
  bool setStatusText(const char*) override { return true; }
  void setProgressRange(uint32_t) override {}
  void stepProgress() override {}
  void showMessage(const char*, const char*, MessageIcon) override {}
  void playCompletionSound() override {}
};

}  // namespace zarvek
