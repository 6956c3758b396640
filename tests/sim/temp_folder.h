#pragma once
// A fresh folder under the system's temporary directory, removed with its contents.
#include <filesystem>
#include <string>

namespace morla::sim {

class TempFolder {
 public:
  // `stem` starts the folder's name; the rest makes it unique.
  explicit TempFolder(const std::string& stem);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace morla::sim
