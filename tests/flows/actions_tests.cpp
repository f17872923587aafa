// The device actions end to end: Update Wizard, Restore and Erase, against
// the simulated bootloader.

#include <string>
#include <vector>

#include "flows/FlowFixture.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

const std::string kFinish = "Finish Update";
const std::string kWaitPower = "Waiting for Turn on(Restart) Mx7410 Power";
const std::vector<std::uint8_t> kGreeting{'r', 'e'};

std::string FirstMemoLine(const std::string& memo) { return memo.substr(0, memo.find("\r\n")); }

// ---- Update Wizard ----------------------------------------------------------

class Wizard : public FlowTest {
 protected:
  // Closes the port once Label1 shows `seconds` waited, from inside the wait.
  void CloseThePortAfter(int seconds) {
    view.onControlChanged = [this, seconds](Control control) {
      if (control == Control::Label1) labels.push_back(Caption(control));
      if (control == Control::Label1 && Caption(control) == kWaitPower + ":" + std::to_string(seconds)) {
        loop.Post([this] { form->Click(Control::DisConnect1); });
      }
    };
  }
  std::vector<std::string> labels;
};

class WizardPowerOn : public Wizard, public ::testing::WithParamInterface<bool> {};

TEST_P(WizardPowerOn, CatchesTheBootloaderThenConnectsAndUpdates) {
  sim::SimOptions options;
  options.powerOnAfter = 700ms;
  options.powerOnBadChecksum = GetParam();
  StartDevice(options, /*showMessages=*/false);
  CloseThePortAfter(20);  // a device that never shows up fails the test instead of hanging it
  const std::string path = WriteHex("image.hex", HexImage().Bytes(0, Pattern(400)).End().Text());
  view.fileAnswers.push_back(path);

  form->Click(Control::SetBootloader1);

  EXPECT_TRUE(form->State(Control::CBShowmag).checked);
  EXPECT_NE(SettingsText().find("Showmag=1"), std::string::npos) << SettingsText();
  EXPECT_FALSE(form->Flags().wizardWaiting);
  EXPECT_TRUE(MessageShown(kFinish)) << Messages();
  std::string why;
  EXPECT_TRUE(device->MatchesHexFile(path, &why)) << why;

  // The wizard's version request, then a full connect, then the update.
  const auto frames = device->Frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_TRUE(IsFrame(frames[0], kVersionFrame));
  EXPECT_EQ(frames[1].raw, kGreeting);
  EXPECT_TRUE(IsFrame(frames[2], kVersionFrame));
  EXPECT_TRUE(IsFrame(frames[3], kEraseFrame));
}

INSTANTIATE_TEST_SUITE_P(PowerOnFrame, WizardPowerOn, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "BadChecksum" : "GoodChecksum"; });

TEST_F(Wizard, SilentDeviceWaitsUntilThePortIsClosed) {
  StartDevice();  // answers requests, sends nothing by itself
  CloseThePortAfter(1);

  form->Click(Control::SetBootloader1);

  EXPECT_EQ(FirstMemoLine(form->Controls().MemoText()), kWaitPower);
  EXPECT_EQ(labels, std::vector<std::string>{kWaitPower + ":1"});
  EXPECT_TRUE(form->Flags().portClosed);
  EXPECT_FALSE(form->Flags().wizardWaiting);
  EXPECT_TRUE(view.fileFilters.empty());
  EXPECT_TRUE(view.messages.empty()) << Messages();
  EXPECT_TRUE(device->Frames().empty());

  Connect();  // replies are recognised again
}

TEST_F(Wizard, PortThatWillNotOpenEndsTheWizard) {
  StartDevice();
  form->SetCheckedByUser(Control::cbAuto_select, false);
  form->SetTextByUser(Control::ComboBox1, (dir.Path() / "no-such-port").string());

  form->Click(Control::SetBootloader1);

  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_NE(view.messages[0].find(",Is not connect Mx7410 !"), std::string::npos) << view.messages[0];
  EXPECT_FALSE(form->Flags().wizardWaiting);
  EXPECT_FALSE(form->FConnected());
  EXPECT_EQ(form->LastOutcome().result, ActionResult::PortFailed);
}

// ---- Restore ----------------------------------------------------------------

class Restore : public FlowTest {
 protected:
  // The restore frame was received from frame `from` on, whole, and right
  // before the erase. (The pause between them is not measured: a starved
  // reader takes both at once.)
  void ExpectRestoreBeforeErase(std::size_t from) {
    const auto frames = device->Frames();
    const auto restore = FindFrame(frames, kRestoreFrame, from);
    ASSERT_TRUE(restore.has_value());
    EXPECT_TRUE(frames[*restore].checksumOk);
    const auto erase = FindFrame(frames, kEraseFrame, *restore);
    ASSERT_TRUE(erase.has_value());
    EXPECT_EQ(*erase, *restore + 1);
  }
};

TEST_F(Restore, ButtonUpdatesInRestoreModeUntilThePopupEntryHasRun) {
  StartDevice();
  Connect();
  const std::string path = WriteHex("image.hex", HexImage().Bytes(0, Pattern(300)).End().Text());

  view.fileAnswers.push_back(path);
  form->Click(Control::BtnRestore);
  EXPECT_EQ(view.fileFilters.back(), "hex Files|*U0102.00*.hex|All Files|*.*");
  EXPECT_TRUE(MessageShown(kFinish)) << Messages();
  std::string why;
  EXPECT_TRUE(device->MatchesHexFile(path, &why)) << why;
  ExpectRestoreBeforeErase(0);
  EXPECT_TRUE(form->Flags().restoreMode);

  // Still in restore mode: log lines and a plain Update behave so.
  Connect();
  EXPECT_EQ(form->Controls().MemoText().rfind("Restore:85,85,", 0), 0u) << form->Controls().MemoText();
  std::size_t from = device->Frames().size();
  Update(path);
  EXPECT_EQ(view.fileFilters.back(), "hex Files|*U0102.00*.hex|All Files|*.*");
  ExpectRestoreBeforeErase(from);

  // The popup entry connects in restore mode, then leaves it.
  form->Click(Control::Restore1);
  ASSERT_TRUE(form->FConnected()) << Messages();
  EXPECT_EQ(form->Controls().MemoText().rfind("Restore:85,85,", 0), 0u) << form->Controls().MemoText();
  EXPECT_FALSE(form->Flags().restoreMode);
  from = device->Frames().size();
  Update(path);
  EXPECT_TRUE(MessageShown(kFinish)) << Messages();
  EXPECT_FALSE(FindFrame(device->Frames(), kRestoreFrame, from).has_value());
}

TEST_F(Restore, PopupEntryWhileConnectedOnlyDisconnects) {
  StartDevice();
  Connect();
  const std::size_t received = device->Frames().size();

  form->Click(Control::Restore1);

  EXPECT_FALSE(form->FConnected());
  EXPECT_FALSE(form->Flags().restoreMode);
  EXPECT_TRUE(view.messages.empty()) << Messages();
  EXPECT_FALSE(device->WaitForFrames(received + 1, 200ms));
}

// ---- Erase ------------------------------------------------------------------

TEST_F(FlowTest, EraseAnsweredNoSendsNothing) {
  StartDevice();
  Connect();
  form->SetTextByUser(Control::ComboBoxwWait, "3");
  const std::size_t received = device->Frames().size();
  view.confirmAnswers.push_back(false);

  form->ClickInCode(Control::BtnErase);

  EXPECT_EQ(view.confirmations, std::vector<std::string>{"Erase Data!"});
  EXPECT_EQ(Caption(Control::ComboBoxwWait), "3");
  EXPECT_TRUE(view.messages.empty()) << Messages();
  EXPECT_FALSE(device->WaitForFrames(received + 1, 200ms));
}

struct EraseCase {
  const char* name;
  int refuseErase;
  std::string waitText;
  std::string message;
  std::string waitTextAfter;
  ActionResult result;
};

void PrintTo(const EraseCase& c, std::ostream* out) { *out << c.name; }

class Erase : public FlowTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(Erase, ReportsTheDevicesAnswer) {
  const EraseCase& c = GetParam();
  sim::SimOptions options;
  options.refuseErase = c.refuseErase;
  StartDevice(options);
  Connect();
  form->SetTextByUser(Control::ComboBoxwWait, c.waitText);
  view.confirmAnswers.push_back(true);

  form->ClickInCode(Control::BtnErase);

  EXPECT_EQ(view.messages, std::vector<std::string>{c.message});
  EXPECT_EQ(Caption(Control::ComboBoxwWait), c.waitTextAfter);
  EXPECT_EQ(form->LastOutcome().result, c.result);
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_TRUE(form->State(Control::Button_Open).enabled);
  const auto frames = device->Frames();
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return IsFrame(f, kEraseFrame); }), 1);
  EXPECT_TRUE(WriteFrames(frames).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Erase,
    ::testing::Values(EraseCase{"Accepted", 0, "3", "Erase successful!(EraseOK)", "5", ActionResult::Success},
                      EraseCase{"Refused", 1, "7", "Erase fail!(NO)", "7", ActionResult::DeviceFailed},
                      EraseCase{"NotANumber", 0, " x ", "Erase successful!(EraseOK)", "5", ActionResult::Success}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlowTest, EraseOnAPortThatHasNotAnsweredSendsNothing) {
  sim::SimOptions options;
  options.silent = true;
  StartDevice(options);
  form->SetConnectState(true);  // open without a handshake
  ASSERT_TRUE(form->FConnected());
  view.confirmAnswers.push_back(true);

  form->ClickInCode(Control::BtnErase);

  EXPECT_EQ(view.messages,
            std::vector<std::string>{"Mx7410 has not answered on this port, nothing was sent: connect first!"});
  EXPECT_EQ(form->LastOutcome().result, ActionResult::DeviceFailed);
  EXPECT_EQ(device->EraseCount(), 0);
  EXPECT_TRUE(form->State(Control::Button_Open).enabled);
}

}  // namespace
}  // namespace mx::test
