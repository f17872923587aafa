#include <windows.h>

#include <stdexcept>

#include "StationLog.h"
#include "update/WidePath_win.h"

namespace mx::flash {

struct StationLog::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
};

StationLog::StationLog(const std::string& path) : impl_(std::make_unique<Impl>()) {
  impl_->file = ::CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (impl_->file == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot open " + path + ": error " + std::to_string(::GetLastError()));
  }
}

StationLog::~StationLog() { ::CloseHandle(impl_->file); }

bool StationLog::Append(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  if (!::WriteFile(impl_->file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size()) {
    return false;
  }
  return ::FlushFileBuffers(impl_->file) != 0;
}

}  // namespace mx::flash
