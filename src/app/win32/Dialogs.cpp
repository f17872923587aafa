// The window's dialogs: message and confirmation boxes (task dialogs, which
// say when they are shown), the open-file dialog, the beep and the help
// window.

// clang-format off
#include <windows.h>  // first: the other Win32 headers build on it
#include <commctrl.h>
#include <commdlg.h>
// clang-format on

#include "app/win32/MainWindow.h"
#include "app/win32/WideText.h"

namespace mx {
namespace {

struct DialogTrace {
  const MainWindow* window;
  const char* kind;
  std::string text;
};

HRESULT CALLBACK TaskDialogShown(HWND, UINT notification, WPARAM, LPARAM, LONG_PTR data) {
  if (notification == TDN_CREATED) {
    const auto* trace = reinterpret_cast<const DialogTrace*>(data);
    trace->window->Trace(trace->kind, trace->text);
  }
  return S_OK;
}

// A dialog opened before the window is shown has no owner to centre on.
HWND Owner(HWND window) { return IsWindowVisible(window) ? window : nullptr; }

// `question`: the dialog asks, and shows the system's question icon (task
// dialogs have no such icon of their own).
int RunTaskDialog(const MainWindow& window, HWND owner, const char* kind, std::string_view text,
                  TASKDIALOG_COMMON_BUTTON_FLAGS buttons, bool question) {
  const std::wstring content = Widen(text);
  DialogTrace trace{&window, kind, std::string(text)};
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = owner;
  config.dwFlags = TDF_POSITION_RELATIVE_TO_WINDOW | TDF_ALLOW_DIALOG_CANCELLATION;
  if (question) {
    config.dwFlags |= TDF_USE_HICON_MAIN;
    config.hMainIcon = LoadIconW(nullptr, IDI_QUESTION);
  }
  config.dwCommonButtons = buttons;
  config.pszWindowTitle = kApplicationTitleW;
  config.pszContent = content.c_str();
  config.pfCallback = &TaskDialogShown;
  config.lpCallbackData = reinterpret_cast<LONG_PTR>(&trace);
  int pressed = IDCANCEL;
  if (FAILED(TaskDialogIndirect(&config, &pressed, nullptr, nullptr))) {
    // Without common controls 6 the plain message box stands in.
    window.Trace(kind, text);
    UINT type = buttons == TDCBF_OK_BUTTON ? MB_OK : (buttons & TDCBF_NO_BUTTON ? MB_YESNO : MB_OKCANCEL);
    if (question) type |= MB_ICONQUESTION;
    pressed = MessageBoxW(owner, content.c_str(), kApplicationTitleW, type);
    if (pressed == IDOK && (type & MB_TYPEMASK) == MB_OKCANCEL) pressed = IDYES;
  }
  return pressed;
}

UINT_PTR CALLBACK FileDialogHook(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<const OPENFILENAMEW*>(lParam)->lCustData);
  } else if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == CDN_INITDONE) {
    const auto* window = reinterpret_cast<const MainWindow*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
    if (window != nullptr) window->Trace("file-dialog", "shown");
  }
  return 0;
}

}  // namespace

void MainWindow::ShowMessage(std::string_view text) {
  RunTaskDialog(*this, Owner(window_), "message", text, TDCBF_OK_BUTTON, false);
}

bool MainWindow::Confirm(std::string_view text, ConfirmButtons buttons) {
  const TASKDIALOG_COMMON_BUTTON_FLAGS choices = buttons == ConfirmButtons::YesCancel
                                                     ? TDCBF_YES_BUTTON | TDCBF_CANCEL_BUTTON
                                                     : TDCBF_YES_BUTTON | TDCBF_NO_BUTTON;
  return RunTaskDialog(*this, Owner(window_), "confirm", text, choices, true) == IDYES;
}

std::optional<std::string> MainWindow::ChooseFile(std::string_view filter) {
  const std::wstring filters = DialogFilter(filter);
  std::wstring path(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = Owner(window_);
  dialog.lpstrFilter = filters.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  // A typed name of a missing file is accepted too: the update reports it.
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLEHOOK | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  dialog.lpfnHook = &FileDialogHook;
  dialog.lCustData = reinterpret_cast<LPARAM>(this);
  if (!GetOpenFileNameW(&dialog)) return std::nullopt;
  path.resize(wcslen(path.c_str()));
  return Narrow(path);
}

void MainWindow::Beep() { MessageBeep(MB_OK); }

// ---- the help window ------------------------------------------------------------

namespace {

constexpr wchar_t kHelpClass[] = L"Mx7410HelpWindow";

LRESULT CALLBACK HelpProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      MoveWindow(GetWindow(window, GW_CHILD), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CTLCOLORSTATIC:
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 0xFF));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void MainWindow::ShowHelp() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &HelpProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kHelpClass;
  RegisterClassExW(&windowClass);

  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int left = work.left + (work.right - work.left - layout::kHelpWidth) / 2;
  const int top = work.top + (work.bottom - work.top - layout::kHelpHeight) / 2;
  HWND help =
      CreateWindowExW(WS_EX_DLGMODALFRAME, kHelpClass, L"helpFrm", WS_POPUP | WS_CAPTION | WS_SYSMENU, left, top,
                      layout::kHelpWidth, layout::kHelpHeight, window_, nullptr, windowClass.hInstance, nullptr);
  std::wstring text;
  for (const char* line : HelpLines()) text += Widen(line) + L"\r\n";
  HWND memo = CreateWindowExW(0, L"EDIT", text.c_str(),
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
                              10, 10, help, nullptr, windowClass.hInstance, nullptr);
  SendMessageW(memo, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(layout::kHelpFont)), FALSE);
  RECT client;
  GetClientRect(help, &client);
  MoveWindow(memo, 0, 0, client.right, client.bottom, FALSE);

  // Modal: the main window takes no input until the help window is closed.
  EnableWindow(window_, FALSE);
  ShowWindow(help, SW_SHOW);
  Trace("help", "shown");
  MSG message;
  while (IsWindow(help) && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(help, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  EnableWindow(window_, TRUE);
  SetActiveWindow(window_);
  Trace("help", "closed");
}

}  // namespace mx
