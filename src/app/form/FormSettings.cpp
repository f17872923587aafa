#include "app/form/FormSettings.h"

#include <stdexcept>

#include "app/PrivateProfile.h"

namespace mx {

namespace {
constexpr const char* kSettingsFileName = "Comport.ini";
constexpr const char* kSettingsSection = "ComPort";
}  // namespace

std::string FormSettings::Path() const { return directory_ ? *directory_ + kSettingsFileName : std::string(); }

std::string FormSettings::Read(const std::string& key) const {
  if (!directory_) return {};
  return ReadProfileString(kSettingsSection, key, "", Path());
}

void FormSettings::Store(const std::string& key, const std::string& value) const {
  if (!directory_) return;
  const std::string path = Path();
  if (!WriteProfileString(kSettingsSection, key, value, path)) throw std::runtime_error("Unable to write to " + path);
}

}  // namespace mx
