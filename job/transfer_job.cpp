#include "job/transfer_job.h"

#include "base/current_directory.h"

namespace zarvek {

void setInitialValues(TransferJob& job) {
  char current[kDirectoryLimit] = {};
  job.receiveFolder = fetchCurrentDirectory(current, kDirectoryLimit) && receiveFolderFits(current) ? current : "";
  job.portName = kDefaultPort;
  job.speed = kDefaultSpeed;
  job.crcRetryLimit = kDefaultRetryLimit;
}

}  // namespace zarvek
