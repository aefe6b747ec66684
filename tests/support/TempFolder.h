#pragma once
// A fresh folder under the system's temporary folder for one test, removed
// with everything in it (folders made read-only by the test included).
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

class TTempFolder {
 public:
  explicit TTempFolder(const char* APrefix = "vidmill-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(APrefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder " + pattern);
    FPath = pattern;
  }
  ~TTempFolder() {
    if (FKeep) return;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(FPath, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
      if (it->is_directory(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
    std::filesystem::remove_all(FPath, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const std::filesystem::path& Path() const { return FPath; }
  // The path of AName in the folder.
  std::string operator/(const std::string& AName) const { return (FPath / AName).string(); }
  // Leaves the folder and what it holds in place, for a look after the run.
  void Keep() { FKeep = true; }

 private:
  std::filesystem::path FPath;
  bool FKeep = false;
};
