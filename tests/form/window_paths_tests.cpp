// Paths of the window's behaviour that only some settings or failures take:
// the raw display of "Code Report", the connect step's two error handlers,
// the restart check in Chinese and without the receive log, and the
// wizard's second step.

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/SimulatedBootloader.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

class WindowPaths : public ::testing::Test {
 protected:
  void Prepare(const std::string& port, const std::string& showmag = "1", const std::string& language = "ENG") {
    h.settings.Write("Comport.ini", "[ComPort]\r\nShowmag=" + showmag + "\r\nlanguage=" + language + "\r\n");
    h.form->FormCreate();
    h.form->SetCheckedByUser(Control::cbAuto_select, false);
    h.form->SetTextByUser(Control::ComboBox1, port);
    h.form->SetTextByUser(Control::ComboBoxwWait, "1");
  }
  void StartDevice(sim::SimOptions options, const std::string& showmag, const std::string& language) {
    device = std::make_unique<sim::SimulatedBootloader>(options);
    device->Start();
    Prepare(device->PortPath(), showmag, language);
  }
  // Handles events until the memo reads `text`.
  bool MemoBecomes(const std::string& text) {
    const Clock::time_point patience = Clock::now() + 10s;
    while (h.form->Controls().MemoText() != text && Clock::now() < patience) h.loop.WaitForEvents(patience);
    return h.form->Controls().MemoText() == text;
  }

  FormHarness h;
  std::unique_ptr<sim::SimulatedBootloader> device;
};

// ---- Raw display ("Code Report") ----

TEST_F(WindowPaths, CodeReportShowsFramesAsNumbersAndTextUpToItsFirstZero) {
  Pty line;
  Prepare(line.SlavePath());
  h.form->SetCheckedByUser(Control::TestData_CB, true);  // opens the port
  h.form->SetMemoTextByUser("before");

  line.Write({'a', 'b', 0x00, 'c'});
  ASSERT_TRUE(MemoBecomes("beforeab"));
  line.Write({0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04});
  EXPECT_TRUE(MemoBecomes("85,85,1,0,1,1,253,4")) << "the frame replaces the memo's text";
  EXPECT_EQ(h.form->LastReply(), Reply::None) << "no frame is assembled";
}

TEST_F(WindowPaths, CodeReportWithoutShowMessageShowsNothing) {
  Pty line;
  Prepare(line.SlavePath(), "0");
  h.form->SetCheckedByUser(Control::TestData_CB, true);
  line.Write({'a', 'b'});
  line.Write({0x55, 0x55, 0x01, 0x00, 0x01, 0x01, 0xFD, 0x04});
  h.loop.RunUntil(Clock::now() + 300ms);  // what arrives in that time must change nothing
  EXPECT_EQ(h.form->Controls().MemoText(), "");
}

// ---- The connect step's error handlers ----

// A message box that fails the first `failures` times it is shown.
void FailMessages(FormHarness& h, int failures) {
  h.view.onMessage = [&h, failures](std::string_view) {
    if (static_cast<int>(h.view.messages.size()) <= failures) throw std::runtime_error("box failed");
  };
}

TEST_F(WindowPaths, AnErrorDuringTheHandshakeIsShownWithTheNotConnectedText) {
  sim::SimOptions silent;
  silent.silent = true;
  StartDevice(silent, "1", "ENG");
  FailMessages(h, 1);  // the connect failure's own box
  h.form->Click(Control::Button_Open);

  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"May be Not on Bootloader Connect fail!",
                                                       "box failed,(May be not connect Mx7410!)"}));
  EXPECT_FALSE(h.form->FConnected());
  EXPECT_FALSE(h.form->Controls().MemoReadOnly());
  EXPECT_EQ(h.view.beeps, 0);
  EXPECT_TRUE(h.killed.empty());
  EXPECT_EQ(h.form->LastOutcome().result, ActionResult::DeviceFailed);
}

TEST_F(WindowPaths, AnErrorInTheFirstHandlerEndsEveryCopyOfTheProgram) {
  sim::SimOptions silent;
  silent.silent = true;
  StartDevice(silent, "1", "ENG");
  FailMessages(h, 2);  // the connect failure's box, then the first handler's
  h.form->Click(Control::Button_Open);

  ASSERT_EQ(h.view.messages.size(), 3u);
  EXPECT_EQ(h.view.messages[2], "box failed,Connect error program will stop!");
  EXPECT_EQ(h.view.beeps, 1);
  EXPECT_EQ(h.killed, std::vector<std::string>{"mx_7410Update.exe"});
}

// ---- The restart check ----

struct RestartCase {
  const char* name;
  const char* showmag;
  const char* language;
  int versionRequests;  // 2: greeted again once
  const char* firstLine;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class RestartCheck : public WindowPaths, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartCheck, GreetsAgainOnlyWhenTheLogShowsTheTwoFrames) {
  sim::SimOptions options;
  options.doubleVersionReplies = 1;  // the first answer comes as the two frames
  StartDevice(options, GetParam().showmag, GetParam().language);
  h.form->Click(Control::Button_Open);

  EXPECT_TRUE(h.form->FConnected());
  EXPECT_EQ(device->VersionRequestCount(), GetParam().versionRequests);
  const std::string& memo = h.form->Controls().MemoText();
  EXPECT_EQ(memo.substr(0, memo.find("\r\n")), GetParam().firstLine);
  EXPECT_NE(memo.find(":1.1\r\n"), std::string::npos) << "the version lines are written in any case: " << memo;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestartCheck,
    ::testing::Values(RestartCase{"English", "1", "ENG", 2, "Command Received:85,85,1,0,1,1,1,2,3,1,2,0,244,4,"},
                      RestartCase{"Chinese", "1", "CH", 2, "指令就緒 :85,85,1,0,1,1,1,2,3,1,2,0,244,4,"},
                      // Without the receive log nothing can match: the two frames connect.
                      RestartCase{"ShowMessageUnchecked", "0", "ENG", 1, "Bootloader Version:1.1"},
                      RestartCase{"ChineseShowMessageUnchecked", "0", "CH", 1, "Bootloader 版本:1.1"}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// ---- The wizard's second step ----

TEST_F(WindowPaths, TheWizardUnchecksCodeReportFirst) {
  Pty line;
  Prepare(line.SlavePath());
  h.form->SetCheckedByUser(Control::TestData_CB, true);  // the port opens
  h.form->Click(Control::DisConnect1);                   // and closes; the box stays checked
  ASSERT_TRUE(h.State(Control::TestData_CB).checked);
  ASSERT_EQ(h.form->Controls().MemoFontPoints(), 10);
  // The wizard's wait ends when the port is closed.
  h.loop.Post([this] { h.form->Click(Control::DisConnect1); });

  h.form->Click(Control::SetBootloader1);

  EXPECT_FALSE(h.State(Control::TestData_CB).checked);
  EXPECT_EQ(h.form->Controls().MemoFontPoints(), 12);
  EXPECT_EQ(h.form->Controls().MemoText(), "Waiting for Turn on(Restart) Mx7410 Power\r\n");
  EXPECT_FALSE(h.form->FConnected());
}

}  // namespace
}  // namespace mx::test
