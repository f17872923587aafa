// Building the Win32 window from the form's layout description: one child
// window per control, the fonts, the placement, the Tab order, the painted
// panels and the controls' colours.

// clang-format off
#include <windows.h>  // first: the other Win32 headers build on it
#include <commctrl.h>
// clang-format on

#include <algorithm>

#include "app/win32/MainWindow.h"
#include "app/win32/WideText.h"

namespace mx {
namespace {

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

COLORREF ToColorRef(Colour colour) { return RGB(colour.red, colour.green, colour.blue); }

struct ChildClass {
  const wchar_t* name;
  DWORD style;
  DWORD extendedStyle;
};

ChildClass ClassFor(const ControlLayout& look) {
  const DWORD child = WS_CHILD;
  switch (look.kind) {
    case ControlKind::Label:
      return {L"STATIC", child | SS_NOPREFIX | (look.align == TextAlign::Centre ? SS_CENTER : SS_LEFT), 0};
    // BS_NOTIFY: the buttons report when they gain the focus, as edits and
    // combo boxes always do.
    case ControlKind::CheckBox:
      return {L"BUTTON", child | WS_TABSTOP | BS_AUTOCHECKBOX | BS_NOTIFY, 0};
    case ControlKind::FlatButton:
      return {L"BUTTON", child | WS_TABSTOP | BS_PUSHBUTTON | BS_FLAT | BS_NOTIFY, 0};
    case ControlKind::PortComboBox:
    case ControlKind::WaitComboBox:
      return {L"COMBOBOX", child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0};
    case ControlKind::CharacterEdit:
      return {L"EDIT", child | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case ControlKind::Memo:
      return {L"EDIT", child | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL,
              WS_EX_CLIENTEDGE};
    case ControlKind::ProgressBar:
      return {PROGRESS_CLASSW, child, 0};
    case ControlKind::Animation:
      return {ANIMATE_CLASSW, child | ACS_CENTER | ACS_TRANSPARENT, 0};
    case ControlKind::Window:
    case ControlKind::Panel:
    case ControlKind::MenuEntry:
      break;
  }
  return {nullptr, 0, 0};
}

const wchar_t* FaceName(FontFamily family, bool chinese) {
  switch (family) {
    case FontFamily::SansSerif:
      return chinese ? L"PMingLiU" : L"MS Sans Serif";
    case FontFamily::Times:
      return L"Times New Roman";
    case FontFamily::Ming:
      return L"\x7D30\x660E\x9AD4";  // 細明體, PMingLiU's own name
    case FontFamily::Courier:
      return L"Courier";
  }
  return L"MS Sans Serif";
}

}  // namespace

void MainWindow::CreateControls() {
  for (const ControlLayout& look : WindowLayout()) {
    if (look.kind == ControlKind::Window || look.kind == ControlKind::Panel || look.kind == ControlKind::MenuEntry)
      continue;
    controls_[Index(look.control)] = CreateControl(look);
  }
  // Edits hold 32 K characters unless told otherwise; the memo has no limit.
  SendMessageW(ControlWindow(Control::Memo), EM_SETLIMITTEXT, 0, 0);
  SendMessageW(ControlWindow(Control::ProgressBar1), PBM_SETBKCOLOR, 0, ToColorRef(kMoneyGreen));
  // The platform's file-copy clip, from shell32.
  if (HMODULE shell = LoadLibraryW(L"shell32.dll")) {
    SendMessageW(ControlWindow(Control::Animate1), ACM_OPENW, reinterpret_cast<WPARAM>(shell),
                 reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(160)));
  }
  SetTabOrder();
}

HWND MainWindow::CreateControl(const ControlLayout& look) {
  const ChildClass childClass = ClassFor(look);
  const auto id = static_cast<INT_PTR>(kControlIdBase + static_cast<int>(look.control));
  return CreateWindowExW(childClass.extendedStyle, childClass.name, L"", childClass.style, 0, 0, 10, 10, window_,
                         reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), nullptr);
}

void MainWindow::SetTabOrder() {
  // The dialog manager walks the children in their z-order.
  HWND previous = HWND_TOP;
  for (Control control : TabOrder()) {
    SetWindowPos(ControlWindow(control), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = ControlWindow(control);
  }
}

HFONT MainWindow::FontFor(const FontStyle& style) {
  const bool chinese = style.chineseCharset || fontLanguage_ == Language::Chinese;
  int height = -style.pixels;
  if (style.points > 0) {
    HDC screen = GetDC(nullptr);
    const int points = style.family == FontFamily::Courier && memoFontPoints_ > 0 ? memoFontPoints_ : style.points;
    height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
  }
  HFONT font =
      CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, chinese ? CHINESEBIG5_CHARSET : DEFAULT_CHARSET,
                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                  FaceName(style.family, chinese && style.family != FontFamily::Times));
  fonts_.push_back(font);
  return font;
}

void MainWindow::ApplyFonts() {
  std::vector<HFONT> old = std::move(fonts_);
  fonts_.clear();
  for (const ControlLayout& look : WindowLayout()) {
    HWND child = ControlWindow(look.control);
    if (child == nullptr) continue;
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(look.font)), TRUE);
  }
  for (HFONT font : old) DeleteObject(font);
  for (const ControlLayout& look : WindowLayout()) NoteTextWidth(look.control);
  TraceFont(Control::Memo);
}

void MainWindow::TraceFont(Control control) const {
  HWND child = ControlWindow(control);
  LOGFONTW asked{};
  GetObjectW(reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)), sizeof asked, &asked);
  HDC dc = GetDC(child);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
  wchar_t got[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, got);
  SelectObject(dc, previous);
  ReleaseDC(child, dc);
  Trace("font", std::string(ControlName(control)) + " asks " + Narrow(asked.lfFaceName) + ", gets " + Narrow(got));
}

int MainWindow::MeasureText(Control control) const {
  HWND child = ControlWindow(control);
  if (child == nullptr || (GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) == 0) return 0;
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(child)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(child, text.data(), static_cast<int>(text.size()))));
  const bool checkBox = LayoutOf(control).kind == ControlKind::CheckBox;
  HDC dc = GetDC(child);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
  RECT extent{0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent,
            DT_CALCRECT | DT_SINGLELINE | (checkBox ? 0U : static_cast<UINT>(DT_NOPREFIX)));
  SelectObject(dc, previous);
  ReleaseDC(child, dc);
  // A check box's text follows its box and a gap.
  const int box = checkBox ? GetSystemMetrics(SM_CXMENUCHECK) + 3 * GetSystemMetrics(SM_CXEDGE) : 0;
  return text.empty() ? 0 : extent.right + box + 1;
}

void MainWindow::NoteTextWidth(Control control) {
  const ControlLayout& look = LayoutOf(control);
  if (!GrowsToItsText(look)) return;
  const int needed = MeasureText(control);
  int& known = textWidths_[Index(control)];
  if (needed == known) return;
  const bool moves = std::max(needed, look.place.width) != std::max(known, look.place.width);
  known = needed;
  Trace("text-width", std::string(ControlName(control)) + " " + std::to_string(needed));
  if (moves) LayOut();
}

void MainWindow::LayOut() {
  RECT client;
  GetClientRect(window_, &client);
  const int width = client.right;
  const int height = client.bottom;
  const int statusTop = StatusPanelRect(width, height).top;
  const Placements placed = PlacePanelControls(width, [this](Control control) { return textWidths_[Index(control)]; });
  HDWP positions = BeginDeferWindowPos(static_cast<int>(Control::Count));
  auto place = [&](Control control, const Rect& at) {
    int boxHeight = at.height;
    // A drop-down's height includes its open list.
    const ControlKind kind = LayoutOf(control).kind;
    if (kind == ControlKind::PortComboBox || kind == ControlKind::WaitComboBox) boxHeight += 160;
    positions = DeferWindowPos(positions, ControlWindow(control), nullptr, at.left, at.top, at.width, boxHeight,
                               SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (const ControlLayout& look : WindowLayout()) {
    Rect at = placed[Index(look.control)];
    if (look.panel == Panel::Status) at.top += statusTop;
    if (look.panel == Panel::Command || look.panel == Panel::Status) place(look.control, at);
  }
  Rect header = MessageHeaderRect(width);
  header.top += layout::kCommandPanelHeight;
  place(Control::Label12, header);
  Rect memo = MemoRect(width, height);
  memo.top += layout::kCommandPanelHeight;
  place(Control::Memo, memo);
  EndDeferWindowPos(positions);
  InvalidateRect(window_, nullptr, TRUE);
}

HBRUSH MainWindow::Brush(Colour colour) {
  const std::uint32_t key = (colour.red << 16) | (colour.green << 8) | colour.blue;
  auto found = brushes_.find(key);
  if (found != brushes_.end()) return found->second;
  return brushes_[key] = CreateSolidBrush(ToColorRef(colour));
}

void MainWindow::Paint(HDC dc) {
  RECT client;
  GetClientRect(window_, &client);
  auto fill = [&](const Rect& at, Colour colour, UINT edge) {
    RECT r{at.left, at.top, at.Right(), at.Bottom()};
    FillRect(dc, &r, Brush(colour));
    if (edge != 0) DrawEdge(dc, &r, edge, BF_RECT);
  };
  FillRect(dc, &client, Brush(kMoneyGreen));  // where the hidden message panel was
  fill(CommandPanelRect(client.right), kMoneyGreen, EDGE_RAISED);
  if (messagePanelShown_) fill(MessagePanelRect(client.right, client.bottom), kFuchsia, EDGE_RAISED);
  const Rect status = StatusPanelRect(client.right, client.bottom);
  fill(status, kMoneyGreen, EDGE_RAISED);
  Rect clip = PlaceInPanel(LayoutOf(Control::Animate1), client.right);
  RECT frame{clip.left - 4, status.top + clip.top - 2, clip.Right() + 4, status.top + clip.Bottom() + 2};
  DrawEdge(dc, &frame, EDGE_SUNKEN, BF_RECT);
}

LRESULT MainWindow::ControlColour(HDC dc, HWND child) {
  const int id = GetDlgCtrlID(child) - kControlIdBase;
  Colour background = kMoneyGreen;
  if (id >= 0 && id < static_cast<int>(Control::Count)) {
    const ControlLayout& look = LayoutOf(static_cast<Control>(id));
    if (look.background) background = *look.background;
    if (look.text) SetTextColor(dc, ToColorRef(*look.text));
  }
  SetBkColor(dc, ToColorRef(background));
  return reinterpret_cast<LRESULT>(Brush(background));
}

Size MainWindow::FrameSize() const {
  RECT outer;
  RECT client;
  GetWindowRect(window_, &outer);
  GetClientRect(window_, &client);
  return {(outer.right - outer.left) - client.right, (outer.bottom - outer.top) - client.bottom};
}

void MainWindow::ResizeOuter(int width, int height) {
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const Size fitted =
      FitOnScreen({width, height}, {work.right - work.left, work.bottom - work.top}, MinimumOuterSize(FrameSize()));
  RECT now;
  GetWindowRect(window_, &now);
  // A window that grows keeps its top, unless its bottom would leave the screen.
  const int top = std::max(work.top, std::min(now.top, work.bottom - fitted.height));
  SetWindowPos(window_, nullptr, now.left, top, fitted.width, fitted.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::ResizeClient(int width, int height) {
  const Size frame = FrameSize();
  ResizeOuter(width + frame.width, height + frame.height);
}

}  // namespace mx
