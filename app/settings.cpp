#include "app/settings.h"

#include <shlobj.h>
#include <string.h>

#include <charconv>
#include <optional>

#include "base/unique_handle_win32.h"
#include "serial/com_ports_win32.h"
#include "serial/line_speeds.h"
#include "serial/port_name.h"

namespace zarvek {
namespace {

constexpr char kSection[] = "Zarvek";
// Larger than any good value: a value that fills it was cut, and is refused
// rather than read as the start of something else.
constexpr DWORD kValueSize = 1024;

std::string shellFolder(int csidl) {
  char path[MAX_PATH] = {};
  return SUCCEEDED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : "";
}

// Empty when the system names no folder for the user's program data.
std::string settingsFolder() {
  const std::string appData = shellFolder(CSIDL_APPDATA);
  return appData.empty() ? "" : appData + "\\Zarvek";
}

// Nothing when the system names no folder for settings (`file` empty).
std::optional<std::string> readValue(const std::string& file, const char* key) {
  if (file.empty()) return std::nullopt;
  char value[kValueSize] = {};
  const DWORD n = GetPrivateProfileStringA(kSection, key, "", value, kValueSize, file.c_str());
  if (n == 0 || n >= kValueSize - 1) return std::nullopt;
  return std::string(value, n);
}

// The whole value as a decimal number, nothing before or after it.
std::optional<int32_t> readNumber(const std::string& file, const char* key) {
  const std::optional<std::string> text = readValue(file, key);
  if (!text) return std::nullopt;
  int32_t n = 0;
  const char* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, n);
  if (error != std::errc() || stop != end) return std::nullopt;
  return n;
}

void writeValue(const char* key, const std::string& value) {
  const std::string folder = settingsFolder();
  if (folder.empty()) return;
  // Fails harmlessly when the folder is there; a write that fails leaves the
  // setting for this session only, which is no reason to trouble the user.
  CreateDirectoryA(folder.c_str(), nullptr);
  WritePrivateProfileStringA(kSection, key, value.c_str(), (folder + "\\zarvek.ini").c_str());
}

// A port the system does not list now (an adapter unplugged, another PC's
// port) would only fail when a transfer starts.
bool portPresent(int number) {
  for (const ComPort& port : presentComPorts()) {
    if (comNumber(port.name) == number) return true;
  }
  return false;
}

// Tried, not read from attributes or rights: a file made and gone again
// (deleted by the system when its handle closes), under a name of this
// process's own so that two starts in one folder do not meet.
bool folderWritable(const std::string& folder) {
  std::string probe = folder;
  if (!probe.empty() && probe.back() != '\\' && probe.back() != '/') probe += '\\';
  probe += "zarvek-write-test-" + std::to_string(GetCurrentProcessId()) + ".tmp";
  const UniqueHandle file(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr));
  return static_cast<bool>(file);
}

// Whether `folder` is a Program Files folder or inside one. An elevated start
// (or a system that lets everyone write there) could write to it, but files
// received into the program's own folder are lost with an update or an
// uninstall, and a user's own files belong with the user.
bool inProgramFiles(const std::string& folder) {
  for (const int csidl : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86}) {
    const std::string root = shellFolder(csidl);
    if (root.empty() || folder.size() < root.size()) continue;
    const char after = folder.size() == root.size() ? '\\' : folder[root.size()];
    if (_strnicmp(folder.c_str(), root.c_str(), root.size()) == 0 && (after == '\\' || after == '/')) return true;
  }
  return false;
}

void loadReceiveFolder(TransferJob& job, const std::string& file) {
  const std::optional<std::string> kept = readValue(file, "ReceiveFolder");
  if (kept && receiveFolderFits(*kept) && folderWritable(*kept)) {
    job.receiveFolder = *kept;
    return;
  }
  // Started from a folder the user may not write to (Program Files, a
  // read-only share): received files go where the user's own files are.
  if (!inProgramFiles(job.receiveFolder) && folderWritable(job.receiveFolder)) return;
  const std::string documents = shellFolder(CSIDL_PERSONAL);
  if (!documents.empty() && receiveFolderFits(documents)) job.receiveFolder = documents;
}

void loadWindowPosition(HWND window, const std::string& file) {
  const std::optional<int32_t> x = readNumber(file, "X"), y = readNumber(file, "Y");
  if (!x || !y) return;
  // The corner the title bar starts from must be on a screen, else the window
  // opens where no one can reach it (a monitor since unplugged, a smaller one).
  if (MonitorFromPoint(POINT{*x, *y}, MONITOR_DEFAULTTONULL) == nullptr) return;
  SetWindowPos(window, nullptr, *x, *y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

KeptSettings keptSettings(const TransferJob& job) {
  return {job.portName, job.speed, job.crcRetryLimit, job.receiveFolder};
}

void loadSettings(TransferJob& job, HWND window) {
  const std::string folder = settingsFolder();
  const std::string file = folder.empty() ? "" : folder + "\\zarvek.ini";
  if (const auto port = readValue(file, "Port")) {
    const std::optional<int> number = comNumber(*port);
    if (number && portPresent(*number)) job.portName = "COM" + std::to_string(*number);
  }
  if (const auto speed = readNumber(file, "Speed"); speed && isLineSpeed(*speed)) job.speed = *speed;
  if (const auto retries = readNumber(file, "RetryLimit");
      retries && *retries >= kRetryLimitMin && *retries <= kRetryLimitMax) {
    job.crcRetryLimit = *retries;
  }
  loadReceiveFolder(job, file);
  loadWindowPosition(window, file);
}

void saveChangedSettings(const KeptSettings& before, const TransferJob& job) {
  if (job.portName != before.port) writeValue("Port", job.portName);
  if (job.speed != before.speed) writeValue("Speed", std::to_string(job.speed));
  if (job.crcRetryLimit != before.retryLimit) writeValue("RetryLimit", std::to_string(job.crcRetryLimit));
  if (job.receiveFolder != before.receiveFolder) writeValue("ReceiveFolder", job.receiveFolder);
}

void saveWindowPosition(HWND window) {
  RECT place;
  if (IsIconic(window) || !GetWindowRect(window, &place)) return;
  writeValue("X", std::to_string(place.left));
  writeValue("Y", std::to_string(place.top));
}

}  // namespace zarvek
