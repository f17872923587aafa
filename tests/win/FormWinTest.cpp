// The window's behaviour on the Windows host: the port list from the
// registry, "\\.\" device paths, and a connect to the simulated bootloader.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "app/HostSystem.h"
#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"
#include "support/ScriptedView.h"

namespace mx::test {
namespace {

// A form on the real host: the registry's port list, real device paths, no
// settings file.
struct HostForm {
  EventQueue loop;
  ScriptedView view;
  UpdaterForm form{loop, view};

  const std::string& Caption(Control control) const { return form.State(control).caption; }
};

TEST(FormWin, StartUpListsTheRegistryPortsAndTakesTheLast) {
  HostForm host;
  host.form.FormCreate();

  const std::vector<std::string> listed = ListSerialPortNames();
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(host.form.Controls().PortItems(), listed);
  EXPECT_EQ(host.Caption(Control::ComboBox1), listed.back());
}

TEST(FormWin, ConnectToAMissingPortReportsTheOpenError) {
  HostForm host;
  host.form.FormCreate();
  host.form.SetCheckedByUser(Control::cbAuto_select, false);
  host.form.SetTextByUser(Control::ComboBox1, "COM199");

  host.form.Click(Control::Button_Open);

  // The handshake goes on regardless, times out and reports that too.
  EXPECT_EQ(host.view.messages, (std::vector<std::string>{"Error opening serial port,Is not connect Mx7410 !",
                                                          "May be Not on Bootloader Connect fail!"}));
  EXPECT_EQ(host.Caption(Control::Button_Open), "Connect");
  EXPECT_FALSE(host.form.State(Control::BtnFileOpen).enabled);
}

TEST(FormWin, ConnectToTheSimulatorShowsItsVersion) {
  const std::vector<std::string> port = EnvironmentWords(kSimulatorPortVariable);
  ASSERT_EQ(port.size(), 1u) << kSimulatorPortVariable << kPortsMissing;
  HostForm host;
  host.form.FormCreate();
  host.form.SetCheckedByUser(Control::cbAuto_select, false);
  host.form.SetTextByUser(Control::ComboBox1, port[0]);

  host.form.Click(Control::Button_Open);

  EXPECT_TRUE(host.view.messages.empty()) << host.view.messages.front();
  EXPECT_EQ(host.Caption(Control::Label1).rfind("Bootloader Version:", 0), 0u) << host.Caption(Control::Label1);
  EXPECT_EQ(host.Caption(Control::Button_Open), "DisConnect");
  EXPECT_TRUE(host.form.State(Control::BtnFileOpen).enabled);

  host.form.Click(Control::DisConnect1);
  EXPECT_EQ(host.Caption(Control::Button_Open), "Connect");
}

}  // namespace
}  // namespace mx::test
