#include <windows.h>

#include "Password.h"
#include "update/WidePath_win.h"

namespace mx::flash {

std::optional<std::string> AskPasswordOnTerminal(const std::string& prompt) {
  // The console itself, not standard input: a script's pipe holds no password.
  HANDLE input = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE output = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &saved)) {
    if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
    if (output != INVALID_HANDLE_VALUE) ::CloseHandle(output);
    return std::nullopt;
  }
  const std::wstring widePrompt = WideFromUtf8(prompt);
  DWORD written = 0;
  ::WriteConsoleW(output, widePrompt.data(), static_cast<DWORD>(widePrompt.size()), &written, nullptr);
  ::SetConsoleMode(input, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  std::wstring line;
  wchar_t c = 0;
  DWORD read = 0;
  while (::ReadConsoleW(input, &c, 1, &read, nullptr) && read == 1 && c != L'\n') {
    if (c != L'\r') line += c;
  }
  ::SetConsoleMode(input, saved);
  ::WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
  ::CloseHandle(input);
  ::CloseHandle(output);
  return Utf8FromWide(line);
}

}  // namespace mx::flash
