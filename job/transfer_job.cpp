#include "job/transfer_job.h"

#include <cstring>

namespace zarvek {

void setInitialValues(TransferJob& job) {
  fetchCurrentDirectory(job.receiveFolder, kFolderSize);
  std::memcpy(job.portName, kDefaultPort, sizeof kDefaultPort);
  job.speed = kDefaultSpeed;
  job.crcRetryLimit = kDefaultRetryLimit;
}

}  // namespace zarvek
