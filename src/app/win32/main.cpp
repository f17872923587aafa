// Program entry of the Win32 window: the main window FVantroUpdate and its
// start-up, then the message loop until the window closes.
//
// --trace prints one line on standard output for each change of a control
// and each dialog shown ("control Button_Open enabled=1 ... caption=Connect",
// "message ...", "confirm ...", "file-dialog shown", "closed"), each focus
// change ("focus Memo") and Connect's menu ("menu shown below Button_Open",
// "menu closed"), so that a test reads the window's state from the program
// itself.

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "app/HostSystem.h"
#include "app/win32/MainWindow.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  std::FILE* trace = std::wcsstr(commandLine, L"--trace") != nullptr ? stdout : nullptr;
  try {
    mx::Win32EventLoop loop;
    mx::FormServices services;
    services.settingsDirectory = mx::SettingsDirectory();
    mx::MainWindow FVantroUpdate(loop, std::move(services), trace);
    try {
      FVantroUpdate.Form().FormCreate();
    } catch (const mx::UpdaterForm::OperationAborted&) {
      // A failed port listing ends start-up silently; the window opens as it is.
    }
    FVantroUpdate.ShowCentred();
    return loop.Run();
  } catch (const std::exception& error) {
    MessageBoxA(nullptr, error.what(), "mx_7410Update", MB_OK | MB_ICONERROR);
    return 1;
  }
}
