#pragma once
// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes; a receive folder in one; files' bytes; waiting for a condition.
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace zarvek::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A receive folder "in" inside a fresh root: a name escaping it shows in the root's listing.
struct ReceiveFolder {
  TempDir root;
  std::filesystem::path in = root / "in";
  ReceiveFolder() { std::filesystem::create_directory(in); }
  std::string str() const { return in.string(); }
  std::set<std::string> listing() const;  // every name under the root: "in", "in/a.bin", ...
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);
// n bytes from a fixed seed, so failures repeat.
std::string randomBytes(size_t n, uint32_t seed);

// Waits (up to a guard) until pred() holds. The guard is wide: a loaded machine, or
// Wine's first start in a prefix, is slow.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds guard = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + guard;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace zarvek::test
