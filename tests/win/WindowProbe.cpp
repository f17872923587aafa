// Drives the running Win32 window from outside, as a user's clicks would:
//   mx_win_window_probe click NAME    posts a click to the control NAME
//   mx_win_window_probe press ID      presses button ID (IDOK 1, IDCANCEL 2,
//                                     IDYES 6) of the window's open dialog
//   mx_win_window_probe file PATH     types PATH into the open-file dialog
//                                     and presses its Open button
//   mx_win_window_probe menu NAME     picks the entry NAME of Connect's menu
//   mx_win_window_probe close         asks the window to close
//   mx_win_window_probe tab-stops     prints the controls that Tab visits
//                                     now: the layout's Tab order without
//                                     the hidden and disabled controls
//   mx_win_window_probe fits NAME W   fails unless the control NAME is W
//                                     pixels wide or wider (what its text
//                                     needs, from the window's trace: a font
//                                     is no use in another process) and no
//                                     shown control covers it
//   mx_win_window_probe icon          fails unless the open dialog shows an icon
//   mx_win_window_probe geometry      prints the window's outer and client
//                                     size, its bottom and the work area's
// The window reports what happened on its --trace output.

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/form/FormLayout.h"
#include "app/form/FormView.h"

namespace {

constexpr int kControlIdBase = 1000;  // as the window numbers its children
constexpr int kMenuIdBase = 2000;     // and the entries of its menu

HWND DialogOf(HWND main) {
  struct Search {
    HWND found = nullptr;
  } search;
  EnumThreadWindows(
      GetWindowThreadProcessId(main, nullptr),
      [](HWND window, LPARAM data) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (std::wstring_view(name) == L"#32770" && IsWindowVisible(window)) {
          reinterpret_cast<Search*>(data)->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int PrintTabStops(HWND main) {
  for (mx::Control control : mx::TabOrder()) {
    HWND child = GetDlgItem(main, kControlIdBase + static_cast<int>(control));
    if (child != nullptr && IsWindowVisible(child) && IsWindowEnabled(child)) {
      std::printf("%s\n", std::string(mx::ControlName(control)).c_str());
    }
  }
  return 0;
}

int Fail(const char* what) {
  std::fprintf(stderr, "mx_win_window_probe: %s\n", what);
  return 1;
}

HWND ControlNamed(HWND main, std::string_view name) {
  for (int i = 0; i < static_cast<int>(mx::Control::Count); ++i) {
    if (mx::ControlName(static_cast<mx::Control>(i)) == name) return GetDlgItem(main, kControlIdBase + i);
  }
  return nullptr;
}

int Fits(HWND main, HWND control, int needed) {
  RECT client;
  GetClientRect(control, &client);
  std::printf("text %d wide, control %ld wide\n", needed, client.right);
  if (needed > client.right) return Fail("the text is cut");
  RECT own;
  GetWindowRect(control, &own);
  for (HWND other = GetWindow(main, GW_CHILD); other != nullptr; other = GetWindow(other, GW_HWNDNEXT)) {
    RECT theirs;
    RECT common;
    GetWindowRect(other, &theirs);
    if (other != control && IsWindowVisible(other) && IntersectRect(&common, &own, &theirs)) {
      std::printf("covered by control %d\n", GetDlgCtrlID(other) - kControlIdBase);
      return Fail("another control covers it");
    }
  }
  return 0;
}

bool ShowsIcon(HWND dialog) {
  bool found = false;
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM data) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(child, name, 16);
        const bool icon = (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
        if (_wcsicmp(name, L"Static") == 0 && icon && IsWindowVisible(child) &&
            SendMessageW(child, STM_GETICON, 0, 0) != 0) {
          *reinterpret_cast<bool*>(data) = true;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

int PrintGeometry(HWND main) {
  RECT outer;
  RECT client;
  RECT work;
  GetWindowRect(main, &outer);
  GetClientRect(main, &client);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  std::printf("outer %ldx%ld client %ldx%ld bottom %ld work-bottom %ld\n", outer.right - outer.left,
              outer.bottom - outer.top, client.right, client.bottom, outer.bottom, work.bottom);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: click NAME | press ID | file PATH | menu NAME | close | tab-stops");
  HWND main = FindWindowW(L"Mx7410UpdateWindow", nullptr);
  if (main == nullptr) return Fail("no window");
  const std::string_view command = argv[1];
  if (command == "close") return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : Fail("close");
  if (command == "tab-stops") return PrintTabStops(main);
  if (command == "geometry") return PrintGeometry(main);
  if (command == "icon") {
    HWND dialog = DialogOf(main);
    if (dialog == nullptr) return Fail("no dialog open");
    return ShowsIcon(dialog) ? 0 : Fail("the dialog shows no icon");
  }
  if (argc < 3) return Fail("missing argument");
  if (command == "fits") {
    HWND control = ControlNamed(main, argv[2]);
    if (control == nullptr) return Fail("unknown control");
    return argc > 3 ? Fits(main, control, std::atoi(argv[3])) : Fail("missing width");
  }
  if (command == "click") {
    HWND control = ControlNamed(main, argv[2]);
    return control != nullptr && PostMessageW(control, BM_CLICK, 0, 0) ? 0 : Fail("no such control");
  }
  if (command == "menu") {
    for (int i = 0; i < static_cast<int>(mx::Control::Count); ++i) {
      if (mx::ControlName(static_cast<mx::Control>(i)) == argv[2])
        return PostMessageW(main, WM_COMMAND, MAKEWPARAM(kMenuIdBase + i, 0), 0) ? 0 : Fail("menu");
    }
    return Fail("unknown menu entry");
  }
  HWND dialog = DialogOf(main);
  if (dialog == nullptr) return Fail("no dialog open");
  if (command == "press") {
    const int id = std::atoi(argv[2]);
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)))
               ? 0
               : Fail("press");
  }
  if (command == "file") {
    // The path as typed, from the wide command line: the narrow argv holds
    // only what the ANSI code page can spell.
    int wideCount = 0;
    LPWSTR* wideArgs = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wideArgs == nullptr || wideCount < 3) return Fail("no path");
    const std::wstring path = wideArgs[2];
    LocalFree(wideArgs);
    // The file name field: an edit (edt1) or the edit inside a combo box
    // (cmb13), anywhere among the dialog's children.
    HWND name = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM data) -> BOOL {
          const int id = GetDlgCtrlID(child);
          HWND* found = reinterpret_cast<HWND*>(data);
          if (id == 0x480) *found = child;
          if (id == 0x47C) *found = FindWindowExW(child, nullptr, L"Edit", nullptr);
          return *found == nullptr;
        },
        reinterpret_cast<LPARAM>(&name));
    if (name == nullptr) return Fail("no file name field");
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : Fail("open");
  }
  return Fail("unknown command");
}
