#pragma once

// A view in front of a real window for tests: everything the form shows goes
// on to the window, while its modal dialogs are answered here, so nothing
// blocks and the test sees what was asked.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form/FormView.h"

namespace mx::test {

class DialogAnsweringView final : public FormView {
 public:
  explicit DialogAnsweringView(FormView& window) : window_(window) {}

  // The answers; what was asked is recorded as well.
  bool confirmAnswer = false;
  std::optional<std::string> chosenFile;  // none: the file dialog is cancelled
  std::vector<std::string> messages;
  std::vector<std::string> confirmations;

  void ControlChanged(Control control) override { window_.ControlChanged(control); }
  void MemoAppended(std::string_view line) override { window_.MemoAppended(line); }
  void MemoReset() override { window_.MemoReset(); }
  void MemoSelectLastCharacter() override { window_.MemoSelectLastCharacter(); }
  void ProgressChanged() override { window_.ProgressChanged(); }
  void TransferProgressed(const TransferProgress& progress) override { window_.TransferProgressed(progress); }
  void MessagePanelToggled(bool shown) override { window_.MessagePanelToggled(shown); }
  void Beep() override { window_.Beep(); }
  void ShowHelp() override { window_.ShowHelp(); }

  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  bool Confirm(std::string_view text, ConfirmButtons) override {
    confirmations.emplace_back(text);
    return confirmAnswer;
  }
  std::optional<std::string> ChooseFile(std::string_view) override { return chosenFile; }

 private:
  FormView& window_;
};

}  // namespace mx::test
