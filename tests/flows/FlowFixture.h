#pragma once

// Whole device actions of the window against the simulated bootloader on a
// real pseudo-terminal: a form on a plain event queue, a view that records
// control changes, a temporary directory for the settings and firmware
// files.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/form/UpdaterForm.h"
#include "protocol/Frames.h"
#include "serial/EventLoop.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"
#include "support/ScriptedView.h"
#include "support/TempDir.h"
#include "support/WatchedLoop.h"

namespace mx::test {

// A scripted view that also reports every control change and, to
// `onShown`, everything else it is shown or asked, by kind and detail.
class WatchingView : public ScriptedView {
 public:
  std::function<void(Control)> onControlChanged;
  std::function<void(std::string_view kind, std::string_view detail)> onShown;

  void ControlChanged(Control control) override {
    if (onControlChanged) onControlChanged(control);
  }
  void MemoAppended(std::string_view line) override { Shown("memo+", line); }
  void MemoReset() override { Shown("memo=", ""); }
  void ProgressChanged() override {
    ScriptedView::ProgressChanged();
    Shown("progress", "");
  }
  void MessagePanelToggled(bool shown) override {
    ScriptedView::MessagePanelToggled(shown);
    Shown("panel", shown ? "shown" : "hidden");
  }
  void ShowMessage(std::string_view text) override {
    Shown("message", text);
    ScriptedView::ShowMessage(text);
  }
  bool Confirm(std::string_view text, ConfirmButtons buttons) override {
    const bool answer = ScriptedView::Confirm(text, buttons);
    Shown("confirm", std::string(text) + (answer ? " -> yes" : " -> no"));
    return answer;
  }
  std::optional<std::string> ChooseFile(std::string_view filter) override {
    auto answer = ScriptedView::ChooseFile(filter);
    Shown("file dialog", std::string(filter) + " -> " + answer.value_or("(cancelled)"));
    return answer;
  }
  void Beep() override {
    ScriptedView::Beep();
    Shown("beep", "");
  }

 private:
  void Shown(std::string_view kind, std::string_view detail) {
    if (onShown) onShown(kind, detail);
  }
};

// The write frames (command 02) among what the device received.
inline std::vector<sim::ReceivedFrame> WriteFrames(const std::vector<sim::ReceivedFrame>& frames) {
  std::vector<sim::ReceivedFrame> writes;
  for (const auto& frame : frames) {
    if (!frame.body.empty() && frame.body[0] == CMD_WRITE) writes.push_back(frame);
  }
  return writes;
}

inline bool IsFrame(const sim::ReceivedFrame& frame, std::span<const std::uint8_t> bytes) {
  return std::equal(frame.raw.begin(), frame.raw.end(), bytes.begin(), bytes.end());
}

// Index of the first received frame equal to `bytes`, if any.
inline std::optional<std::size_t> FindFrame(const std::vector<sim::ReceivedFrame>& frames,
                                            std::span<const std::uint8_t> bytes, std::size_t from = 0) {
  for (std::size_t i = from; i < frames.size(); ++i) {
    if (IsFrame(frames[i], bytes)) return i;
  }
  return std::nullopt;
}

class FlowTest : public ::testing::Test {
 protected:
  ~FlowTest() override { form.reset(); }

  // Starts the simulated device and creates the form on its port, with
  // "Show Message" as given in the settings file and short reply waits.
  void StartDevice(sim::SimOptions options = {}, bool showMessages = true) {
    device = std::make_unique<sim::SimulatedBootloader>(options);
    device->Start();
    StartOn(device->PortPath(), showMessages);
  }

  // The form on `port`, whatever answers there.
  void StartOn(const std::string& port, bool showMessages = true) {
    dir.Write("Comport.ini",
              std::string("[ComPort]\r\nShowmag=") + (showMessages ? "1" : "0") + "\r\nlanguage=" + language + "\r\n");
    FormServices services;
    services.settingsDirectory = dir.WithSeparator();
    services.listSerialPorts = [port] { return std::vector<std::string>{port}; };
    services.portDevicePath = [](const std::string& name) { return name; };
    services.killProcessByName = [](const std::string&) { return false; };
    form = std::make_unique<UpdaterForm>(loop, view, std::move(services));
    form->FormCreate();
    form->SetTextByUser(Control::ComboBoxwWait, "1");
  }

  void Connect() {
    form->Click(Control::Button_Open);
    ASSERT_TRUE(form->FConnected()) << Messages();
    ASSERT_EQ(ReplyWord(form->LastReply()), "VerOK");
  }

  std::string WriteHex(const std::string& name, const std::string& text) { return dir.Write(name, text).string(); }

  // The Update button with `path` chosen in the file dialog.
  void Update(const std::string& path) {
    view.fileAnswers.push_back(path);
    form->Click(Control::BtnFileOpen);
  }

  // Waits for the device to have received `count` frames in all.
  std::vector<sim::ReceivedFrame> FramesAfterWaitingFor(std::size_t count) {
    device->WaitForFrames(count, std::chrono::seconds(5));
    return device->Frames();
  }

  bool MessageShown(const std::string& text) const {
    return std::find(view.messages.begin(), view.messages.end(), text) != view.messages.end();
  }
  std::string Messages() const {
    std::string all;
    for (const std::string& message : view.messages) all += "[" + message + "] ";
    return all;
  }
  const std::string& Caption(Control control) const { return form->State(control).caption; }
  std::string SettingsText() const { return ReadFile(dir.Path() / "Comport.ini"); }

  std::string language = "ENG";  // as the settings file names it
  TempDir dir;
  InputHoldingLoop loop;
  WatchingView view;
  std::unique_ptr<sim::SimulatedBootloader> device;
  std::unique_ptr<UpdaterForm> form;
};

}  // namespace mx::test
