// Reading a named file on Windows, through the wide functions so that any
// path opens, and sharing only reading while it is read.

#include <windows.h>

#include "update/FileAccess.h"
#include "update/WidePath_win.h"

namespace mx {

namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (Valid()) ::CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The system's words for `error`, without the line end it comes with.
std::string SystemReason(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason(text != nullptr ? text : L"", length);
  ::LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' ')) {
    reason.pop_back();
  }
  if (reason.empty()) return "Error " + std::to_string(error);
  return Utf8FromWide(reason);
}

FileContents Refused(std::string reason) { return {{}, std::move(reason)}; }

}  // namespace

FileContents ReadRegularFile(const std::string& path, std::uintmax_t maxBytes) {
  const FileHandle file(::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return Refused(SystemReason(::GetLastError()));
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK) return Refused(kNotARegularFile);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) return Refused(SystemReason(::GetLastError()));
  if (static_cast<std::uintmax_t>(size.QuadPart) > maxBytes) return Refused(TooLargeReason(maxBytes));

  FileContents contents;
  contents.bytes.reserve(static_cast<std::size_t>(size.QuadPart));
  char block[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.Get(), block, sizeof block, &got, nullptr)) return Refused(SystemReason(::GetLastError()));
    if (got == 0) break;
    if (contents.bytes.size() + got > maxBytes) return Refused(TooLargeReason(maxBytes));
    contents.bytes.append(block, got);
  }
  return contents;
}

// Large pages need a privilege that users seldom hold: no hint is given.
void AdviseLargeBuffer(void*, std::size_t) {}

}  // namespace mx
