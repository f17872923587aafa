#pragma once

// The state of every control of the window, the memo and the progress bar,
// as the window's behaviour keeps it. Each change is told to the view at
// once, so that a screen follows; reading never touches the view.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "app/form/FormView.h"

namespace mx {

class FormControls {
 public:
  // Starts with every control in its designed state.
  explicit FormControls(FormView& view);

  // ---- Reading
  const ControlState& State(Control control) const { return controls_[static_cast<std::size_t>(control)]; }
  const std::string& Caption(Control control) const { return State(control).caption; }
  bool Checked(Control control) const { return State(control).checked; }
  const std::string& MemoText() const { return memoText_; }
  bool MemoReadOnly() const { return memoReadOnly_; }
  int MemoFontPoints() const { return memoFontPoints_; }
  int ProgressPosition() const { return progressPosition_; }
  int ProgressMax() const { return progressMax_; }
  const std::vector<std::string>& PortItems() const { return portItems_; }
  const std::vector<std::string>& WaitItems() const { return waitItems_; }

  // ---- Changes made by the behaviour; each tells the view
  void SetCaption(Control control, std::string caption);
  void SetEnabled(Control control, bool enabled);
  void SetVisible(Control control, bool visible);
  // False when the box already had that state (and nothing was told).
  bool SetChecked(Control control, bool checked);
  void StartAnimation();  // Animate1 shown and running
  void StopAnimation();
  void MemoAppend(const std::string& line);  // the line includes its CR LF
  void MemoSelectLastCharacter() { view_.MemoSelectLastCharacter(); }
  void MemoReplace(std::string text);
  void SetMemoReadOnly(bool readOnly);
  void SetMemoFontPoints(int points);
  void SetProgressPosition(int position);
  void SetProgressMax(int maximum);
  void SetPortItems(std::vector<std::string> items);

  // ---- Changes the user made on the screen, which it shows already
  void TakeTextFromUser(Control control, std::string text) { Mutable(control).caption = std::move(text); }
  void TakeMemoTextFromUser(std::string text) { memoText_ = std::move(text); }

 private:
  ControlState& Mutable(Control control) { return controls_[static_cast<std::size_t>(control)]; }

  FormView& view_;
  std::array<ControlState, static_cast<std::size_t>(Control::Count)> controls_{};
  std::string memoText_;
  bool memoReadOnly_ = false;
  int memoFontPoints_ = 12;
  int progressPosition_ = 0;
  int progressMax_ = 100;
  std::vector<std::string> portItems_;
  std::vector<std::string> waitItems_{"1", "2", "3", "4", "5"};
};

}  // namespace mx
