#pragma once

// The window's settings file, "Comport.ini", section "ComPort": every use
// reads or writes one key at once, nothing is cached.

#include <optional>
#include <string>

namespace mx {

class FormSettings {
 public:
  // `directory` ends with a separator; without one nothing is read or stored.
  explicit FormSettings(std::optional<std::string> directory) : directory_(std::move(directory)) {}

  bool HasFile() const { return directory_.has_value(); }
  // The file's full path; empty without a directory.
  std::string Path() const;
  // The key's value; empty when the key or the file is missing.
  std::string Read(const std::string& key) const;
  // Stores the value; throws std::runtime_error "Unable to write to <path>"
  // when the file cannot be written. Without a directory it stores nothing.
  void Store(const std::string& key, const std::string& value) const;

 private:
  std::optional<std::string> directory_;
};

}  // namespace mx
