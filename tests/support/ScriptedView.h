#pragma once

// A FormView without widgets for tests: records what the form shows and
// answers its dialogs from scripted queues.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/form/FormView.h"

namespace mx::test {

class ScriptedView : public FormView {
 public:
  // Answers, taken in order; when a queue is empty: Confirm says no, ChooseFile cancels.
  std::deque<bool> confirmAnswers;
  std::deque<std::optional<std::string>> fileAnswers;
  // Runs when a message box is shown (e.g. to act while it is "open").
  std::function<void(std::string_view)> onMessage;

  // What was shown.
  std::vector<std::string> messages;
  std::vector<std::string> confirmations;
  std::vector<std::string> fileFilters;
  std::vector<bool> panelToggles;
  int beeps = 0;
  int helpShown = 0;
  int progressChanges = 0;

  void ControlChanged(Control) override {}
  void MemoAppended(std::string_view) override {}
  void MemoReset() override {}
  void ProgressChanged() override { ++progressChanges; }
  void MessagePanelToggled(bool shown) override { panelToggles.push_back(shown); }
  void ShowMessage(std::string_view text) override {
    messages.emplace_back(text);
    if (onMessage) onMessage(text);
  }
  bool Confirm(std::string_view text, ConfirmButtons) override {
    confirmations.emplace_back(text);
    if (confirmAnswers.empty()) return false;
    bool answer = confirmAnswers.front();
    confirmAnswers.pop_front();
    return answer;
  }
  std::optional<std::string> ChooseFile(std::string_view filter) override {
    fileFilters.emplace_back(filter);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
  }
  void Beep() override { ++beeps; }
  void ShowHelp() override { ++helpShown; }
};

}  // namespace mx::test
