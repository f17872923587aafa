#include "app/win32/MainWindow.h"

// clang-format off
#include <windows.h>  // first: the other Win32 headers build on it
#include <commctrl.h>
#include <windowsx.h>
// clang-format on

#include <algorithm>

#include "app/win32/WideText.h"

namespace mx {
namespace {

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

void ShowItems(HWND box, const std::vector<std::string>& items) {
  const auto count = static_cast<std::size_t>(SendMessageW(box, CB_GETCOUNT, 0, 0));
  bool same = count == items.size();
  for (std::size_t i = 0; same && i < count; ++i) {
    const auto length = SendMessageW(box, CB_GETLBTEXTLEN, i, 0);
    std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<std::size_t>(length));
    same = item == Widen(items[i]);
  }
  if (same) return;
  const std::wstring text = WindowText(box);
  SendMessageW(box, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    const std::wstring wide = Widen(item);
    SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  }
  SetWindowTextW(box, text.c_str());
}

// Whether `notification` from a control of `kind` says that it gained the
// focus; each class numbers its notifications on its own.
bool GainsFocus(ControlKind kind, int notification) {
  switch (kind) {
    case ControlKind::FlatButton:
    case ControlKind::CheckBox:
      return notification == BN_SETFOCUS;
    case ControlKind::PortComboBox:
    case ControlKind::WaitComboBox:
      return notification == CBN_SETFOCUS;
    case ControlKind::CharacterEdit:
    case ControlKind::Memo:
      return notification == EN_SETFOCUS;
    default:
      return false;
  }
}

}  // namespace

MainWindow::MainWindow(Win32EventLoop& loop, FormServices services, std::FILE* trace) : loop_(loop), trace_(trace) {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS};
  InitCommonControlsEx(&common);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &MainWindow::WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hIcon = LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(1));
  windowClass.lpszClassName = kMainWindowClass;
  RegisterClassExW(&windowClass);
  window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainWindowClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, nullptr, windowClass.hInstance, this);
  CreateControls();
  ApplyFonts();
  ResizeOuter(layout::kDesignedWidth, layout::kDesignedHeight);
  loop_.SetDialogWindow(window_, [this](const MSG& message) { return FilterKey(message); });
  // The form may report changes while it is being built; they are shown
  // all together once it exists.
  form_ = std::make_unique<UpdaterForm>(loop, *this, std::move(services));
  ApplyAll();
}

MainWindow::~MainWindow() {
  std::unique_ptr<UpdaterForm> form = std::move(form_);
  form.reset();
  if (IsWindow(window_)) DestroyWindow(window_);
  for (auto& [key, brush] : brushes_) DeleteObject(brush);
  for (HFONT font : fonts_) DeleteObject(font);
}

void MainWindow::ShowCentred() {
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT frame;
  GetWindowRect(window_, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, work.left + std::max(0L, (work.right - work.left - width) / 2),
               work.top + std::max(0L, (work.bottom - work.top - height) / 2), 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
  SetFocus(ControlWindow(kInitialFocus));
}

void MainWindow::Trace(std::string_view kind, std::string_view text) const {
  if (trace_ == nullptr) return;
  std::string line(kind);
  line += ' ';
  for (char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
  std::fprintf(trace_, "%s\n", line.c_str());
  std::fflush(trace_);
}

// ---- messages ---------------------------------------------------------------

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      LayOut();
      return 0;
    case WM_GETMINMAXINFO: {
      // The minimum is the window's outer size, frame included.
      const Size minimum = MinimumOuterSize(FrameSize());
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {minimum.width, minimum.height};
      return 0;
    }
    case WM_ERASEBKGND:
      Paint(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return ControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) == ControlWindow(Control::Button_Open)) {
        ShowPopupMenu(lParam);
        return 0;
      }
      break;
    case WM_SETFOCUS:
      // Given back after a dialog, the help window or another program: pass
      // it on to the control that had it, so that the keys keep working.
      RestoreFocus();
      return 0;
    case WM_CLOSE: {
      bool canClose = true;
      RunGuarded([&] { form_->FormCloseQuery(canClose); });
      if (canClose) DestroyWindow(window_);
      return 0;
    }
    case WM_DESTROY:
      Trace("closed", "");
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

namespace {

// The control's own style: while the window is being shown, the focus
// arrives before the window counts as visible.
bool TakesFocus(HWND control) {
  return control != nullptr && (GetWindowLongPtrW(control, GWL_STYLE) & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE;
}

}  // namespace

void MainWindow::RestoreFocus() {
  HWND control = ControlWindow(focused_);
  if (!TakesFocus(control)) control = ControlWindow(kFallbackFocus);
  if (!TakesFocus(control)) control = GetNextDlgTabItem(window_, control, FALSE);
  if (control != nullptr) SetFocus(control);
}

void MainWindow::MoveFocusOff(Control control) {
  // The dialog manager would leave it on a control that takes no keys, or
  // give it to the next in the Tab order.
  HWND fallback = ControlWindow(kFallbackFocus);
  if (control == kFallbackFocus || !TakesFocus(fallback)) return;
  focused_ = kFallbackFocus;
  // Only where the focus is now: a dialog that has it gives it back later.
  if (GetFocus() == ControlWindow(control)) SetFocus(fallback);
}

bool MainWindow::FilterKey(const MSG& message) {
  if (message.message != WM_KEYDOWN) return false;
  const HWND focus = GetFocus();
  // The memo wants every key, Tab too, and its own Tab handling only works
  // inside a dialog: Tab leaves it here, as from every other control.
  if (message.wParam == VK_TAB && focus == ControlWindow(Control::Memo) && GetKeyState(VK_CONTROL) >= 0) {
    const bool backwards = GetKeyState(VK_SHIFT) < 0;
    if (HWND next = GetNextDlgTabItem(window_, focus, backwards)) SetFocus(next);
    return true;
  }
  // Return and Enter press the focused button, as the space bar does.
  if (message.wParam != VK_RETURN) return false;
  for (const ControlLayout& look : WindowLayout()) {
    if (look.kind == ControlKind::FlatButton && ControlWindow(look.control) == focus) {
      if (IsWindowEnabled(focus)) SendMessageW(focus, BM_CLICK, 0, 0);
      return true;
    }
  }
  return false;
}

void MainWindow::Command(int id, int notification, HWND child) {
  if (!form_ || applying_) return;
  if (id >= kMenuIdBase && id < kMenuIdBase + static_cast<int>(Control::Count)) {
    const auto entry = static_cast<Control>(id - kMenuIdBase);
    RunGuarded([&] { form_->Click(entry); });
    return;
  }
  const int index = id - kControlIdBase;
  if (index < 0 || index >= static_cast<int>(Control::Count)) return;
  const auto control = static_cast<Control>(index);
  if (GainsFocus(LayoutOf(control).kind, notification)) {
    focused_ = control;
    Trace("focus", ControlName(control));
    return;
  }
  switch (LayoutOf(control).kind) {
    case ControlKind::FlatButton:
      if (notification == BN_CLICKED) RunGuarded([&] { form_->Click(control); });
      break;
    case ControlKind::CheckBox:
      if (notification == BN_CLICKED) {
        const bool checked = SendMessageW(child, BM_GETCHECK, 0, 0) == BST_CHECKED;
        RunGuarded([&] { form_->SetCheckedByUser(control, checked); });
        ApplyControl(control);  // the form may have kept the old state
      }
      break;
    case ControlKind::PortComboBox:
    case ControlKind::WaitComboBox:
      if (notification == CBN_EDITCHANGE) {
        RunGuarded([&] { form_->SetTextByUser(control, Narrow(WindowText(child))); });
      } else if (notification == CBN_SELCHANGE) {
        const auto selected = SendMessageW(child, CB_GETCURSEL, 0, 0);
        if (selected == CB_ERR) break;
        std::wstring item(static_cast<std::size_t>(SendMessageW(child, CB_GETLBTEXTLEN, selected, 0)) + 1, L'\0');
        item.resize(static_cast<std::size_t>(
            SendMessageW(child, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(item.data()))));
        RunGuarded([&] { form_->SetTextByUser(control, Narrow(item)); });
      }
      break;
    case ControlKind::CharacterEdit:
      if (notification == EN_CHANGE) RunGuarded([&] { form_->SetTextByUser(control, Narrow(WindowText(child))); });
      break;
    case ControlKind::Memo:
      if (notification == EN_CHANGE) RunGuarded([&] { form_->SetMemoTextByUser(Narrow(WindowText(child))); });
      break;
    default:
      break;
  }
}

void MainWindow::ShowPopupMenu(LPARAM at) {
  HMENU menu = CreatePopupMenu();
  for (Control entry : {Control::SetBootloader1, Control::DisConnect1, Control::Restore1}) {
    const ControlState& state = form_->State(entry);
    if (!state.visible) continue;
    const std::wstring caption = PlainButtonCaption(state.caption);
    AppendMenuW(menu, MF_STRING | (state.enabled ? MF_ENABLED : MF_GRAYED),
                static_cast<UINT_PTR>(kMenuIdBase + static_cast<int>(entry)), caption.c_str());
  }
  POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
  // The Menu key and Shift+F10 give the point (-1, -1).
  const bool fromKeyboard = point.x == -1 && point.y == -1;
  if (fromKeyboard) {  // below the button
    RECT button;
    GetWindowRect(ControlWindow(Control::Button_Open), &button);
    point = {button.left, button.bottom};
  }
  Trace("menu", fromKeyboard ? "shown below Button_Open" : "shown at the pointer");
  TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN, point.x, point.y, 0, window_, nullptr);
  Trace("menu", "closed");
  DestroyMenu(menu);
}

void MainWindow::RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const UpdaterForm::OperationAborted&) {
    // silent, like the abort of a failed port listing everywhere else
  } catch (const std::exception& error) {
    ShowMessage(error.what());
  }
}

// ---- showing the form's state -------------------------------------------------

void MainWindow::ApplyAll() {
  for (std::size_t i = 0; i < Index(Control::Count); ++i) ApplyControl(static_cast<Control>(i));
  MemoReset();
  ProgressChanged();
}

void MainWindow::ControlChanged(Control control) { ApplyControl(control); }

void MainWindow::ApplyControl(Control control) {
  if (!form_) return;
  if (form_->CurrentLanguage() != fontLanguage_) {
    fontLanguage_ = form_->CurrentLanguage();
    ApplyFonts();
  }
  const ControlState& state = form_->State(control);
  if (trace_ != nullptr) {
    Trace("control", std::string(ControlName(control)) + " enabled=" + (state.enabled ? "1" : "0") +
                         " visible=" + (state.visible ? "1" : "0") + " checked=" + (state.checked ? "1" : "0") +
                         " caption=" + state.caption);
  }
  if (control == Control::Window) {
    SetWindowTextW(window_, Widen(state.caption).c_str());
    return;
  }
  HWND child = ControlWindow(control);
  if (child == nullptr) return;  // the panel and the menu entries, shown elsewhere
  const ControlKind kind = LayoutOf(control).kind;
  applying_ = true;
  if (kind == ControlKind::FlatButton || kind == ControlKind::CheckBox) {
    ApplyText(control, PlainButtonCaption(state.caption));
  } else if (kind != ControlKind::Memo && kind != ControlKind::ProgressBar && kind != ControlKind::Animation) {
    ApplyText(control, Widen(state.caption));
  }
  if (kind == ControlKind::CheckBox) SendMessageW(child, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
  if (kind == ControlKind::PortComboBox) ShowItems(child, form_->Controls().PortItems());
  if (kind == ControlKind::WaitComboBox) ShowItems(child, form_->Controls().WaitItems());
  if (kind == ControlKind::Animation) {
    if (state.checked) {
      SendMessageW(child, ACM_PLAY, static_cast<WPARAM>(-1), MAKELONG(0, -1));
    } else {
      SendMessageW(child, ACM_STOP, 0, 0);
    }
  }
  applying_ = false;
  const bool shown = state.visible && (LayoutOf(control).panel != Panel::Message || messagePanelShown_);
  if ((!state.enabled || !shown) && focused_ == control) MoveFocusOff(control);
  EnableWindow(child, state.enabled);
  ShowWindow(child, shown ? SW_SHOWNA : SW_HIDE);
  NoteTextWidth(control);
}

void MainWindow::ApplyText(Control control, const std::wstring& text) {
  HWND child = ControlWindow(control);
  // The user's own typing comes back unchanged: leave it, with its caret.
  if (WindowText(child) != text) SetWindowTextW(child, text.c_str());
}

void MainWindow::MemoAppended(std::string_view line) {
  if (!form_) return;
  Trace("memo", line);
  HWND memo = ControlWindow(Control::Memo);
  applying_ = true;
  const auto end = GetWindowTextLengthW(memo);
  SendMessageW(memo, EM_SETSEL, end, end);
  const std::wstring wide = Widen(line);
  SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
  SendMessageW(memo, EM_SCROLLCARET, 0, 0);
  applying_ = false;
}

void MainWindow::MemoReset() {
  if (!form_) return;
  HWND memo = ControlWindow(Control::Memo);
  applying_ = true;
  ApplyText(Control::Memo, Widen(form_->Controls().MemoText()));
  SendMessageW(memo, EM_SETREADONLY, form_->Controls().MemoReadOnly(), 0);
  applying_ = false;
  if (memoFontPoints_ != form_->Controls().MemoFontPoints()) {
    memoFontPoints_ = form_->Controls().MemoFontPoints();
    ApplyFonts();
  }
}

void MainWindow::MemoSelectLastCharacter() {
  HWND memo = ControlWindow(Control::Memo);
  const auto end = GetWindowTextLengthW(memo);
  SendMessageW(memo, EM_SETSEL, std::max(0, end - 1), end);
  SendMessageW(memo, EM_SCROLLCARET, 0, 0);
}

void MainWindow::ProgressChanged() {
  if (!form_) return;
  const int maximum = std::max(1, form_->Controls().ProgressMax());
  HWND bar = ControlWindow(Control::ProgressBar1);
  SendMessageW(bar, PBM_SETRANGE32, 0, maximum);
  SendMessageW(bar, PBM_SETPOS, std::clamp(form_->Controls().ProgressPosition(), 0, maximum), 0);
}

void MainWindow::MessagePanelToggled(bool shown) {
  RECT client;
  GetClientRect(window_, &client);
  const int panelHeight = MessagePanelRect(client.right, client.bottom).height;
  messagePanelShown_ = shown;
  if (shown) {
    ResizeClient(client.right, client.bottom + layout::kMessagePanelGrowth);
  } else {
    ResizeClient(client.right, client.bottom - panelHeight);
  }
  for (Control control : {Control::Label12, Control::Memo}) ApplyControl(control);
  Trace("message-panel", shown ? "shown" : "hidden");
}

}  // namespace mx
