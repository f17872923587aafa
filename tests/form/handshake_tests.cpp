// The Connect button against the simulated bootloader on a real
// pseudo-terminal: greeting, version reply, restarts and failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "sim/SimulatedBootloader.h"
#include "support/FormHarness.h"
#include "support/HexWriter.h"
#include "support/Pty.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::uint8_t> kVersionRequest{0x55, 0x55, 0x00, 0x00, 0x04};

// The write frames (command 02) among what the device received.
std::size_t WriteFrameCount(const std::vector<sim::ReceivedFrame>& frames) {
  return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), [](const sim::ReceivedFrame& frame) {
    return !frame.body.empty() && frame.body[0] == 0x02;
  }));
}

class Handshake : public ::testing::Test {
 protected:
  void Start(sim::SimOptions options = {}) {
    device = std::make_unique<sim::SimulatedBootloader>(options);
    device->Start();
    Prepare(device->PortPath());
  }

  void Prepare(const std::string& port) {
    h.settings.Write("Comport.ini", "[ComPort]\r\nShowmag=1\r\nlanguage=" + language + "\r\n");
    h.form->FormCreate();
    h.form->SetCheckedByUser(Control::cbAuto_select, false);
    h.form->SetTextByUser(Control::ComboBox1, port);
    h.form->SetTextByUser(Control::ComboBoxwWait, "1");
  }

  int VersionRequests() const { return device->VersionRequestCount(); }

  std::string language = "ENG";
  FormHarness h;
  std::unique_ptr<sim::SimulatedBootloader> device;
};

TEST_F(Handshake, VersionReplyConnectsAndShowsTheVersions) {
  sim::SimOptions options;
  options.major = 2;
  options.minor = 7;
  options.versionBytes = {0x12, 0x34, 0x56, 0x0A, 0xBC, 0x01};
  Start(options);
  h.form->Click(Control::Button_Open);

  EXPECT_TRUE(h.view.messages.empty());
  EXPECT_TRUE(h.form->FConnected());
  EXPECT_EQ(ReplyWord(h.form->LastReply()), "VerOK");
  EXPECT_TRUE(h.form->Controls().MemoReadOnly());
  EXPECT_EQ(h.Caption(Control::Label1), "Bootloader Version:2.7");
  const std::string& memo = h.form->Controls().MemoText();
  EXPECT_EQ(memo.rfind("Command Received:85,85,1,0,7,2,18,52,86,10,188,1,", 0), 0u) << memo;
  EXPECT_NE(memo.find("\r\nCommand checksum checked.\r\n"), std::string::npos) << memo;
  EXPECT_NE(memo.find("Bootloader Version:2.7\r\nOldVersion:123456\r\nRestorePoint:0ABC01\r\n"), std::string::npos)
      << memo;
  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::Success);

  const auto frames = device->Frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].raw, (std::vector<std::uint8_t>{'r', 'e'}));
  EXPECT_EQ(frames[1].raw, kVersionRequest);
}

TEST_F(Handshake, ChineseTextsShowTheVersionLines) {
  language = "CH";
  Start();
  h.form->Click(Control::Button_Open);
  EXPECT_TRUE(h.form->FConnected());
  EXPECT_EQ(h.form->Controls().MemoText().rfind("指令就緒 :85,85,", 0), 0u);
  EXPECT_EQ(h.Caption(Control::Label1), "Bootloader 版本:1.1");
  EXPECT_EQ(h.Caption(Control::Button_Open), "中斷連線");
}

TEST_F(Handshake, SilentDeviceFailsAfterTheWait) {
  sim::SimOptions options;
  options.silent = true;
  Start(options);
  h.form->Click(Control::Button_Open);

  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!"}));
  EXPECT_FALSE(h.form->FConnected());
  EXPECT_FALSE(h.form->Comm1().IsOpen());
  EXPECT_FALSE(h.form->Controls().MemoReadOnly());
  EXPECT_EQ(ReplyWord(h.form->LastReply()), "QUIT");
  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::DeviceFailed);
}

TEST_F(Handshake, ClickingConnectAgainWhileConnectedOnlyDisconnects) {
  Start();
  h.form->Click(Control::Button_Open);
  ASSERT_TRUE(h.form->FConnected());
  const auto framesBefore = device->Frames().size();
  h.form->Click(Control::Button_Open);
  EXPECT_FALSE(h.form->FConnected());
  EXPECT_EQ(h.Caption(Control::Label1), "");
  EXPECT_TRUE(h.form->Controls().MemoReadOnly());
  EXPECT_TRUE(h.view.messages.empty());
  EXPECT_EQ(device->Frames().size(), framesBefore);
}

TEST_F(Handshake, UnopenablePortGivesBothMessages) {
  Prepare("/nonexistent/ttyUSB9");
  h.form->Click(Control::Button_Open);
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"Error opening serial port,Is not connect Mx7410 !",
                                                       "May be Not on Bootloader Connect fail!"}));
  EXPECT_NE(h.form->Controls().MemoText().find("Fail to Send!\r\n"), std::string::npos);
  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::PortFailed);
}

TEST_F(Handshake, TwoFramesInOneBurstStartTheConnectOver) {
  sim::SimOptions options;
  options.doubleVersionReplies = 1;
  Start(options);
  h.form->Click(Control::Button_Open);

  EXPECT_TRUE(h.view.messages.empty());
  EXPECT_TRUE(h.form->FConnected());
  EXPECT_EQ(VersionRequests(), 2);
  EXPECT_EQ(h.form->Controls().MemoText().find("253,4,85,85,1,1,254,4,"), std::string::npos)
      << "the memo was emptied before the second connect";
}

TEST_F(Handshake, EndlessRestartsAreBounded) {
  sim::SimOptions options;
  options.doubleVersionReplies = 1000;
  Start(options);
  h.form->Click(Control::Button_Open);

  EXPECT_EQ(VersionRequests(), 1 + UpdaterForm::kMaxHandshakeRestarts);
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!"}));
  EXPECT_FALSE(h.form->FConnected());
  EXPECT_FALSE(h.form->Comm1().IsOpen());
  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::DeviceFailed);

  h.form->Click(Control::Button_Open);  // a new connect counts from zero again
  EXPECT_EQ(VersionRequests(), 2 * (1 + UpdaterForm::kMaxHandshakeRestarts));
}

TEST_F(Handshake, TheSameFramesInTwoChunksDoNotRestart) {
  Pty line;
  Prepare(line.SlavePath());
  std::thread device([&line] {
    line.Read(7, 3s);  // "re" and the version request
    line.Write({0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04});
  });
  h.form->Click(Control::Button_Open);  // connected on the first frame alone
  device.join();
  // The second frame only once the first has been taken: two chunks for sure.
  line.Write({0x55, 0x55, 0x01, 0x01, 0xFE, 0x04});
  const Clock::time_point patience = Clock::now() + 10s;
  while (h.form->LastReply() != Reply::None && Clock::now() < patience) h.loop.WaitForEvents(patience);

  EXPECT_TRUE(h.form->FConnected());
  EXPECT_TRUE(h.view.messages.empty());
  EXPECT_EQ(h.form->Controls().MemoText().rfind("Command Received:85,85,1,0,1,1,253,4,\r\n", 0), 0u)
      << h.form->Controls().MemoText();
  EXPECT_EQ(ReplyWord(h.form->LastReply()), "") << "the later chunk cleared the reply after the wait had ended";
}

TEST_F(Handshake, RestorePrefixNeverMatchesTheRestartPattern) {
  sim::SimOptions options;
  options.doubleVersionReplies = 1;
  Start(options);
  h.form->Click(Control::Restore1);
  EXPECT_EQ(VersionRequests(), 1);
  EXPECT_EQ(h.form->Controls().MemoText().rfind("Restore:85,85,1,0,1,1,253,4,85,85,1,1,254,4,", 0), 0u);
  EXPECT_FALSE(h.form->Flags().restoreMode);
}

TEST_F(Handshake, CodeReportOpensWithoutGreeting) {
  Start();
  h.form->SetCheckedByUser(Control::TestData_CB, true);  // opens the port
  h.form->Click(Control::Button_Open);                   // closes it
  ASSERT_FALSE(h.form->FConnected());
  h.form->Click(Control::Button_Open);
  EXPECT_TRUE(h.form->FConnected());
  EXPECT_TRUE(h.form->Controls().MemoReadOnly());
  h.loop.RunUntil(Clock::now() + 200ms);
  EXPECT_TRUE(device->Frames().empty());
}

TEST_F(Handshake, ClickDuringTheWaitDisconnects) {
  sim::SimOptions options;
  options.silent = true;
  Start(options);
  h.loop.Post([this] { h.form->Click(Control::Button_Open); });
  h.form->Click(Control::Button_Open);

  EXPECT_FALSE(h.form->FConnected());
  EXPECT_FALSE(h.form->Comm1().IsOpen());
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!"}));
}

// A wait of "0" handles only what is pending already: the answer of a device
// that does answer needs at least the read gap, so the wait ends without it.
TEST_F(Handshake, ZeroSecondWaitEndsAtOnce) {
  Start();
  h.form->SetTextByUser(Control::ComboBoxwWait, "0");
  h.form->Click(Control::Button_Open);
  EXPECT_EQ(ReplyWord(h.form->LastReply()), "QUIT");
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!"}));
}

// ---- Nothing that changes the device before the bootloader has answered ----

TEST_F(Handshake, UpdateAndRestoreWaitForTheAnswer) {
  sim::SimOptions options;
  options.silent = true;
  Start(options);
  h.view.fileAnswers.push_back("/no/file/needed.hex");
  bool updateUsable = true;
  bool restoreUsable = true;
  h.loop.PostInput([&] {
    updateUsable = h.State(Control::BtnFileOpen).enabled;
    restoreUsable = h.State(Control::BtnRestore).enabled;
    h.form->Click(Control::BtnFileOpen);
    h.form->Click(Control::BtnRestore);
  });
  h.form->Click(Control::Button_Open);

  EXPECT_FALSE(updateUsable);
  EXPECT_FALSE(restoreUsable);
  EXPECT_TRUE(h.view.fileFilters.empty()) << "no file dialog";
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!"}));
  EXPECT_EQ(device->EraseCount(), 0);
  EXPECT_EQ(device->RestoreCount(), 0);
}

TEST_F(Handshake, HeldImageIsNotSentToAPortThatHasNotAnswered) {
  sim::SimOptions options;
  options.silent = true;
  Start(options);
  const std::string path = h.settings.Write("image.hex", HexImage().Bytes(0, Pattern(64)).End().Text()).string();
  ASSERT_TRUE(h.form->ReadHexFile(path));
  h.loop.PostInput([&] { h.form->ClickInCode(Control::BtnFileOpen); });  // a resend, made in code
  h.form->Click(Control::Button_Open);

  ASSERT_GE(h.view.messages.size(), 1u);
  EXPECT_EQ(h.view.messages[0], "Mx7410 has not answered on this port, nothing was sent: connect first!");
  EXPECT_EQ(device->EraseCount(), 0);
  EXPECT_EQ(WriteFrameCount(device->Frames()), 0u);
  EXPECT_TRUE(h.form->ImageHeld());
}

TEST_F(Handshake, AnsweredPortEnablesUpdateAndRestore) {
  Start();
  h.form->Click(Control::Button_Open);
  ASSERT_TRUE(h.form->FConnected());
  EXPECT_TRUE(h.State(Control::BtnFileOpen).enabled);
  EXPECT_TRUE(h.State(Control::BtnRestore).enabled);
}

}  // namespace
}  // namespace mx::test
