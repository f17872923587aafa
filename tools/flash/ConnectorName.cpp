#include "ConnectorName.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace mx::flash {

namespace fs = std::filesystem;

std::string LinkNameIn(const std::string& folder, const std::string& devicePath) {
  std::error_code error;
  const fs::path device = fs::canonical(devicePath, error);
  if (error) return {};
  std::vector<fs::path> links;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    links.push_back(entry->path());
  }
  std::sort(links.begin(), links.end());
  for (const fs::path& link : links) {
    if (fs::canonical(link, error) == device && !error) return link.filename().string();
  }
  return {};
}

}  // namespace mx::flash
