#pragma once

// The main window FVantroUpdate in plain Win32, built from the form's layout
// description. All behaviour lives in UpdaterForm: the window shows the
// form's state and forwards the user's input to it. Every control is a
// direct child of the window; the panels are painted behind them.

#include <windows.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>

#include "app/form/FormLayout.h"
#include "app/form/FormView.h"
#include "app/form/UpdaterForm.h"
#include "app/win32/Win32EventLoop.h"

namespace mx {

inline constexpr wchar_t kMainWindowClass[] = L"Mx7410UpdateWindow";
inline constexpr wchar_t kApplicationTitleW[] = L"Vantro Update System";
// Child window identifiers: the control's index after these bases.
inline constexpr int kControlIdBase = 1000;
inline constexpr int kMenuIdBase = 2000;

class MainWindow final : public FormView {
 public:
  // `trace`, when set, receives one line for each change of a control and
  // each dialog shown, so that a test reads the window's state.
  MainWindow(Win32EventLoop& loop, FormServices services, std::FILE* trace);
  ~MainWindow() override;

  UpdaterForm& Form() { return *form_; }
  HWND Handle() const { return window_; }
  // Shows the window centred in the screen's work area, focus on Connect.
  void ShowCentred();

  // FormView
  void ControlChanged(Control control) override;
  void MemoAppended(std::string_view line) override;
  void MemoReset() override;
  void MemoSelectLastCharacter() override;
  void ProgressChanged() override;
  void MessagePanelToggled(bool shown) override;
  void ShowMessage(std::string_view text) override;
  bool Confirm(std::string_view text, ConfirmButtons buttons) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Beep() override;
  void ShowHelp() override;

  // For the dialogs' callbacks: one trace line.
  void Trace(std::string_view kind, std::string_view text) const;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  // ---- building (MainWindowBuild.cpp)
  void CreateControls();
  HWND CreateControl(const ControlLayout& look);
  void ApplyFonts();
  HFONT FontFor(const FontStyle& style);
  void SetTabOrder();
  void LayOut();
  // The width the control's text needs now (0 when it is hidden); notes it
  // and moves the controls when that changes where they sit.
  int MeasureText(Control control) const;
  void NoteTextWidth(Control control);
  // One trace line: the face the control's font asks for, and the one it gets.
  void TraceFont(Control control) const;
  void Paint(HDC dc);
  HBRUSH Brush(Colour colour);
  LRESULT ControlColour(HDC dc, HWND child);
  // The frame around the client area, measured.
  Size FrameSize() const;
  // Resizes the window as far as the work area allows; its bottom stays on
  // the screen.
  void ResizeOuter(int width, int height);
  void ResizeClient(int width, int height);

  // ---- showing the form's state and input (MainWindow.cpp)
  void ApplyAll();
  void ApplyControl(Control control);
  void ApplyText(Control control, const std::wstring& text);
  void Command(int id, int notification, HWND child);
  void ShowPopupMenu(LPARAM at);
  void RestoreFocus();
  // Before `control`, which has the focus, is disabled or hidden.
  void MoveFocusOff(Control control);
  bool FilterKey(const MSG& message);
  void RunGuarded(const std::function<void()>& handler);
  HWND ControlWindow(Control control) const { return controls_[static_cast<std::size_t>(control)]; }

  Win32EventLoop& loop_;
  std::FILE* trace_;
  HWND window_ = nullptr;
  std::array<HWND, static_cast<std::size_t>(Control::Count)> controls_{};
  std::map<std::uint32_t, HBRUSH> brushes_;
  std::vector<HFONT> fonts_;
  std::array<int, static_cast<std::size_t>(Control::Count)> textWidths_{};  // what each text needs
  Language fontLanguage_ = Language::None;
  int memoFontPoints_ = 0;
  bool applying_ = false;  // changes made in code, not by the user
  bool messagePanelShown_ = false;
  Control focused_ = kInitialFocus;  // the control that had the focus last
  std::unique_ptr<UpdaterForm> form_;
};

}  // namespace mx
