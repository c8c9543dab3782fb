#include "job/transfer_job.h"

#include <cstring>

#include "base/current_directory.h"

namespace zarvek {

void setInitialValues(TransferJob& job) {
  fetchCurrentDirectory(job.receiveFolder, kFolderSize);
  job.portName = kDefaultPort;
  job.speed = kDefaultSpeed;
  job.crcRetryLimit = kDefaultRetryLimit;
}

}  // namespace zarvek
