// Closing the port and the endings of the device actions: a close lets its
// frames leave first, and a click the user makes meanwhile runs only once
// the port is closed, in a state the window knows; after every ending the
// user can connect again.

#include <string>
#include <vector>

#include "flows/FlowFixture.h"
#include "support/Pty.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

const std::string kFinish = "Finish Update";
const std::vector<std::uint8_t> kPowerOnFrame{0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04};

class CloseTest : public FlowTest {
 protected:
  // At the next close that waits for its frames, queues the user's click on
  // `control` and then runs `meanwhile`.
  void ClickDuringTheNextClose(Control control, std::function<void()> meanwhile = {}) {
    loop.onHoldingWait = [this, control, meanwhile] {
      loop.PostInput([this, control] {
        clickRan = true;
        clickFoundPortAsFlagged = form->FConnected() == form->Comm1().IsOpen();
        form->Click(control);
      });
      if (meanwhile) meanwhile();
    };
  }
  std::vector<std::uint8_t> FlowByte(char c) const { return {static_cast<std::uint8_t>(c)}; }

  // After an ending, Connect (once more to disconnect first) reaches the device.
  void ExpectConnectWorksAgain() {
    ASSERT_TRUE(form->State(Control::Button_Open).enabled) << Messages();
    if (form->FConnected()) form->Click(Control::Button_Open);
    ASSERT_FALSE(form->FConnected());
    form->Click(Control::Button_Open);
    EXPECT_TRUE(form->FConnected()) << Messages();
    EXPECT_EQ(ReplyWord(form->LastReply()), "VerOK");
    EXPECT_TRUE(form->State(Control::BtnFileOpen).enabled);
  }

  bool clickRan = false;
  bool clickFoundPortAsFlagged = false;
};

TEST_F(CloseTest, DisconnectClickedDuringTheEndOfAnUpdateLosesNothing) {
  sim::SimOptions options;
  options.xoffAfterBlock = 2;  // holds the end frame and the version request back
  options.xoffHold = 300ms;
  StartDevice(options);
  Connect();
  ClickDuringTheNextClose(Control::DisConnect1);
  Update(WriteHex("two.hex", HexImage().Bytes(0, Pattern(512)).End().Text()));
  loop.ProcessPendingEvents();

  EXPECT_TRUE(clickRan);
  EXPECT_TRUE(clickFoundPortAsFlagged);
  EXPECT_EQ(view.messages, std::vector<std::string>{kFinish});
  EXPECT_EQ(form->LastOutcome().result, ActionResult::Success);
  const std::size_t greetingAndImage = 2 + 1 + 2;  // "re", version; erase; two blocks
  ASSERT_TRUE(device->WaitForFrames(greetingAndImage + 2, 5s));
  EXPECT_EQ(device->EndFrameCount(), 1);
  EXPECT_EQ(device->VersionRequestCount(), 2);
}

TEST_F(CloseTest, SecondDisconnectClickRunsAfterTheCloseAsAConnect) {
  Pty line;
  StartOn(line.SlavePath());
  form->SetCheckedByUser(Control::TestData_CB, true);  // "Code Report": the port opens unanswered
  ASSERT_TRUE(form->FConnected());
  line.Write(FlowByte(form->Comm1().XoffChar()));
  const std::vector<std::uint8_t> queued(64, 0x33);
  ASSERT_TRUE(form->Comm1().SendData(queued.data(), static_cast<std::uint16_t>(queued.size())));
  ClickDuringTheNextClose(Control::Button_Open, [&] { line.Write(FlowByte(form->Comm1().XonChar())); });

  form->Click(Control::Button_Open);  // DisConnect
  ASSERT_FALSE(form->FConnected());
  loop.ProcessPendingEvents();

  EXPECT_TRUE(clickRan);
  EXPECT_TRUE(clickFoundPortAsFlagged);
  EXPECT_TRUE(view.messages.empty()) << Messages();  // no "already opened"
  EXPECT_TRUE(form->FConnected()) << "the second click connected afresh";
  EXPECT_EQ(line.Read(queued.size(), 5s), queued) << "what was queued reached the line";
}

TEST_F(CloseTest, CloseRequestDuringTheWizardsCloseStillAsks) {
  Pty line;
  StartOn(line.SlavePath());
  bool deviceOn = false;
  view.onControlChanged = [&](Control control) {
    if (control != Control::Label1 || deviceOn) return;
    deviceOn = true;  // the first second waited: power on, then hold the line
    line.Write(kPowerOnFrame);
    line.Write(FlowByte(form->Comm1().XoffChar()));
  };
  view.confirmAnswers.push_back(false);
  bool canClose = true;
  loop.onHoldingWait = [&] {
    loop.PostInput([&] {
      clickRan = true;
      clickFoundPortAsFlagged = form->FConnected() == form->Comm1().IsOpen();
      form->FormCloseQuery(canClose);
    });
    line.Write(FlowByte(form->Comm1().XonChar()));
  };

  form->Click(Control::SetBootloader1);
  loop.ProcessPendingEvents();

  EXPECT_TRUE(clickRan);
  EXPECT_TRUE(clickFoundPortAsFlagged);
  EXPECT_EQ(view.confirmations, std::vector<std::string>{"Will Stop Bootloader，Stop!"});
  EXPECT_FALSE(canClose);
}

// ---- Endings that leave a way forward -------------------------------------

TEST_F(CloseTest, TimeOutEndingLeavesConnectUsableAndTheImageHeld) {
  sim::SimOptions options;
  options.dropReplyToBlock = 2;
  StartDevice(options);
  Connect();
  Update(WriteHex("three.hex", HexImage().Bytes(0, Pattern(700)).End().Text()));
  EXPECT_EQ(Caption(Control::LabelTimeout), "Time Out!");
  EXPECT_EQ(Caption(Control::Label7), "Program Stop Update!");
  EXPECT_TRUE(form->ImageHeld());
  ExpectConnectWorksAgain();
}

TEST_F(CloseTest, FileWithoutDataLeavesConnectUsable) {
  StartDevice();
  Connect();
  Update(WriteHex("empty.hex", HexImage().End().Text()));
  EXPECT_EQ(device->EraseCount(), 1);
  ExpectConnectWorksAgain();
}

TEST_F(CloseTest, RefusedFileLeavesConnectUsable) {
  StartDevice();
  Connect();
  Update(WriteHex("bad.hex", ":10000000g0\n"));
  EXPECT_EQ(form->LastOutcome().result, ActionResult::FileRefused);
  ExpectConnectWorksAgain();
}

TEST_F(CloseTest, DisconnectInsideATransferLeavesConnectUsable) {
  sim::SimOptions options;
  options.dropReplyToBlock = 1;  // the wait in which the user disconnects
  StartDevice(options);
  Connect();
  bool clicked = false;
  view.onControlChanged = [&](Control control) {
    if (control == Control::Label7 && Caption(control) == "Write Data Waiting..." && !clicked) {
      clicked = true;
      loop.PostInput([this] { form->Click(Control::DisConnect1); });
    }
  };
  Update(WriteHex("two.hex", HexImage().Bytes(0, Pattern(512)).End().Text()));
  ASSERT_TRUE(clicked);
  EXPECT_FALSE(form->FConnected());
  ExpectConnectWorksAgain();
}

TEST_F(CloseTest, VanishedPortTidiesTheWaitFirstAndALaterOpenStartsClean) {
  sim::SimOptions options;
  options.hangUpAfterBlock = 1;
  StartDevice(options);
  Connect();
  std::string label7AtMessage;
  bool animatingAtMessage = true;
  view.onMessage = [&](std::string_view) {
    label7AtMessage = Caption(Control::Label7);
    animatingAtMessage = form->State(Control::Animate1).checked;
  };
  Update(WriteHex("three.hex", HexImage().Bytes(0, Pattern(700)).End().Text()));
  ASSERT_EQ(view.messages, std::vector<std::string>{"Serial port lost, Mx7410 disconnected!"});
  EXPECT_EQ(label7AtMessage, "");
  EXPECT_FALSE(animatingAtMessage);
  ASSERT_TRUE(form->State(Control::Button_Open).enabled);

  // The port is gone: both designed messages, after the wait.
  view.onMessage = nullptr;
  view.messages.clear();
  form->Click(Control::Button_Open);
  ASSERT_EQ(view.messages.size(), 2u) << Messages();
  EXPECT_NE(view.messages[0].find(",Is not connect Mx7410 !"), std::string::npos);
  EXPECT_EQ(view.messages[1], "May be Not on Bootloader Connect fail!");
  EXPECT_EQ(form->LastOutcome().result, ActionResult::PortFailed);
}

}  // namespace
}  // namespace mx::test
