// Opening and closing the port through the window's connection state, with
// the control states of each state and the messages of a failed open.

#include <gtest/gtest.h>

#include "app/HostSystem.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

namespace mx::test {
namespace {

class ConnectionState : public ::testing::Test {
 protected:
  void SetUp() override { h.form->FormCreate(); }

  void ChoosePort(const std::string& name) {
    h.form->SetCheckedByUser(Control::cbAuto_select, false);
    h.form->SetTextByUser(Control::ComboBox1, name);
  }

  // `answered`: the bootloader answered, or "Code Report" needs no answer.
  void ExpectConnectedControls(bool answered = false) {
    EXPECT_TRUE(h.form->FConnected());
    EXPECT_FALSE(h.form->Flags().portClosed);
    EXPECT_TRUE(h.form->Comm1().IsOpen());
    EXPECT_EQ(h.Caption(Control::Button_Open), "DisConnect");
    // Update and Restore wait for the bootloader's answer on this port.
    EXPECT_EQ(h.State(Control::BtnFileOpen).enabled, answered);
    EXPECT_EQ(h.State(Control::BtnRestore).enabled, answered);
    EXPECT_TRUE(h.State(Control::DisConnect1).enabled);
    EXPECT_FALSE(h.State(Control::SetBootloader1).enabled);
    EXPECT_FALSE(h.State(Control::Set_Bootloader).enabled);
    EXPECT_FALSE(h.State(Control::TestData_CB).enabled);
    EXPECT_EQ(h.Caption(Control::Set_Bootloader), "Turn on power");
  }

  void ExpectDisconnectedControls() {
    EXPECT_FALSE(h.form->FConnected());
    EXPECT_TRUE(h.form->Flags().portClosed);
    EXPECT_FALSE(h.form->Comm1().IsOpen());
    EXPECT_EQ(h.Caption(Control::Button_Open), "Connect");
    EXPECT_FALSE(h.State(Control::BtnFileOpen).enabled);
    EXPECT_FALSE(h.State(Control::BtnRestore).enabled);
    EXPECT_FALSE(h.State(Control::Button_Send).enabled);
    EXPECT_FALSE(h.State(Control::DisConnect1).enabled);
    EXPECT_TRUE(h.State(Control::SetBootloader1).enabled);
    EXPECT_TRUE(h.State(Control::Set_Bootloader).enabled);
    EXPECT_TRUE(h.State(Control::TestData_CB).enabled);
    EXPECT_EQ(h.Caption(Control::Set_Bootloader), "Update");
  }

  FormHarness h;
  Pty pty;
};

TEST_F(ConnectionState, ConnectAndDisconnectSetTheControls) {
  ChoosePort(pty.SlavePath());
  h.form->SetConnectState(true);
  ExpectConnectedControls();
  EXPECT_TRUE(h.view.messages.empty());

  h.form->SetConnectState(false);
  ExpectDisconnectedControls();
}

TEST_F(ConnectionState, AutoSelectTakesTheLastListedPortAndRefillsTheList) {
  h.ports = {"/nonexistent/ttyUSB0", pty.SlavePath()};
  h.form->SetTextByUser(Control::ComboBox1, "typed but overridden");
  h.form->SetConnectState(true);
  EXPECT_EQ(h.Caption(Control::ComboBox1), pty.SlavePath());
  EXPECT_EQ(h.form->Controls().PortItems(), h.ports);
  ExpectConnectedControls();
}

TEST_F(ConnectionState, FailedOpensAreReportedAndEndDisconnected) {
  struct Case {
    std::string port;
    bool autoSelect;
    std::string message;
  };
  const Case cases[] = {
      {"/nonexistent/ttyUSB7", false, "Error opening serial port,Is not connect Mx7410 !"},
      {"", false, "Error opening serial port,Is not connect Mx7410 !"},
      {"", true, "Operation aborted,Is not connect Mx7410 !"},
  };
  for (const Case& c : cases) {
    h.view.messages.clear();
    h.form->SetCheckedByUser(Control::cbAuto_select, c.autoSelect);
    h.form->SetTextByUser(Control::ComboBox1, c.port);
    h.form->SetConnectState(true);
    EXPECT_EQ(h.view.messages, (std::vector<std::string>{c.message})) << c.port;
    ExpectDisconnectedControls();
    EXPECT_FALSE(h.State(Control::BtnErase).enabled);
    EXPECT_EQ(h.form->LastOutcome().result, ActionResult::PortFailed);
  }
}

TEST_F(ConnectionState, ConnectingAnOpenPortReportsItAndCloses) {
  ChoosePort(pty.SlavePath());
  h.form->SetConnectState(true);
  h.form->SetConnectState(true);
  EXPECT_EQ(h.view.messages, (std::vector<std::string>{"This serial port already opened,Is not connect Mx7410 !"}));
  ExpectDisconnectedControls();
}

TEST_F(ConnectionState, PortNamesAboveNineAndAbsolutePathsOpen) {
  std::filesystem::create_symlink(pty.SlavePath(), h.settings.Path() / "COM12");
  const std::string linked = (h.settings.Path() / "COM12").string();
  EXPECT_EQ(PortDevicePath(linked), linked) << "an absolute path is used as it is";
  ChoosePort(linked);
  h.form->SetConnectState(true);
  ExpectConnectedControls();
}

TEST_F(ConnectionState, CloseGuardAsksOnlyWhileConnected) {
  bool canClose = false;
  h.form->FormCloseQuery(canClose);
  EXPECT_TRUE(canClose);
  EXPECT_TRUE(h.view.confirmations.empty());

  ChoosePort(pty.SlavePath());
  h.form->SetConnectState(true);
  h.view.confirmAnswers = {false};
  h.form->FormCloseQuery(canClose);
  EXPECT_FALSE(canClose);
  EXPECT_TRUE(h.form->Comm1().IsOpen());
  EXPECT_EQ(h.view.confirmations, (std::vector<std::string>{"Will Stop Bootloader，Stop!"}));

  h.view.confirmAnswers = {true};
  h.form->FormCloseQuery(canClose);
  EXPECT_TRUE(canClose);
  ExpectDisconnectedControls();
}

TEST_F(ConnectionState, PopupDisconnectClosesWithoutAsking) {
  ChoosePort(pty.SlavePath());
  h.form->SetConnectState(true);
  h.form->Click(Control::DisConnect1);
  EXPECT_TRUE(h.view.confirmations.empty());
  ExpectDisconnectedControls();
  EXPECT_FALSE(h.State(Control::BtnErase).enabled);
}

TEST_F(ConnectionState, CodeReportOpensThePortAndLocksItself) {
  ChoosePort(pty.SlavePath());
  h.form->SetCheckedByUser(Control::TestData_CB, true);
  ExpectConnectedControls(/*answered=*/true);
  EXPECT_EQ(h.form->Controls().MemoFontPoints(), 10);
  EXPECT_EQ(pty.Read(1, std::chrono::milliseconds(200)).size(), 0u) << "nothing is sent";

  h.form->SetCheckedByUser(Control::TestData_CB, false);  // the box is disabled while open
  EXPECT_TRUE(h.State(Control::TestData_CB).checked);

  h.form->Click(Control::Button_Open);  // disconnect
  ExpectDisconnectedControls();
  h.form->SetCheckedByUser(Control::TestData_CB, false);
  EXPECT_EQ(h.form->Controls().MemoFontPoints(), 12);
  ExpectDisconnectedControls();
}

}  // namespace
}  // namespace mx::test
