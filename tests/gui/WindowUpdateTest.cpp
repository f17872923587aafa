// An update run through the window against the simulated bootloader, with
// a close request in the middle of it.

#include <QTimer>
#include <cstdio>

#include "WindowFixture.h"
#include "sim/SimulatedBootloader.h"

namespace mx::test {
namespace {

std::string HexRecord(unsigned address, unsigned type, const std::vector<unsigned>& data) {
  char field[16];
  std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
  std::string record = field;
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  for (unsigned byte : data) {
    std::snprintf(field, sizeof field, "%02X", byte);
    record += field;
    sum += byte;
  }
  std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return record + field + "\r\n";
}

// `records` data records of 16 bytes from address 0, then the end record.
std::string HexImage(int records) {
  std::string image;
  for (int r = 0; r < records; ++r) {
    std::vector<unsigned> data;
    for (unsigned i = 0; i < 16; ++i) data.push_back((r * 16 + i * 7) & 0xFF);
    image += HexRecord(r * 16, 0, data);
  }
  return image + HexRecord(0, 1, {});
}

TEST_F(WindowTest, UpdateRunsThroughTheWindowAndClosingDuringItIsRefused) {
  sim::SimulatedBootloader device;
  device.Start();
  const std::string hexFile = settings.Write("firmware.hex", HexImage(40)).string();
  Start();
  ChoosePortByHand(device.PortPath());

  Find<QToolButton>("Button_Open")->click();
  ASSERT_TRUE(Form().FConnected()) << (messages.empty() ? "" : messages.front());
  EXPECT_TRUE(Find<QToolButton>("BtnFileOpen")->isEnabled());
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo")->isReadOnly());
  ExpectCaptions(*window, {{"Label1", "Bootloader Version:1.1"}});

  // Once the first block has been accepted, the window is asked to close.
  auto* progress = Find<QProgressBar>("ProgressBar1");
  auto* animation = Find<FileCopyAnimation>("Animate1");
  bool animationRunning = false;
  bool updatingAtClose = false;
  bool closedDuringUpdate = true;
  QString statusAtClose;
  QObject::connect(progress, &QProgressBar::valueChanged, window.get(), [&](int value) {
    if (value != 17) return;
    animationRunning = animation->isVisible() && animation->IsRunning();
    QTimer::singleShot(0, window.get(), [&] {
      updatingAtClose = Form().Updating();
      closedDuringUpdate = window->close();
      statusAtClose = Find<QLabel>("Label11")->text();
    });
  });
  chosenFile = hexFile;
  Find<QToolButton>("BtnFileOpen")->click();  // the whole update runs inside

  EXPECT_TRUE(updatingAtClose);
  EXPECT_FALSE(closedDuringUpdate);
  EXPECT_EQ(statusAtClose, QStringLiteral("Mx7410 is Updatting can not stop system"));
  EXPECT_TRUE(animationRunning);
  EXPECT_EQ(progress->maximum(), 40);
  EXPECT_EQ(progress->value(), 40);
  ExpectCaptions(*window, {{"Label_Percent", "100%"}});
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Finish Update"), messages.end());
  std::string why;
  EXPECT_TRUE(device.MatchesHexFile(hexFile, &why)) << why;
  EXPECT_EQ(Find<QPlainTextEdit>("Memo")->toPlainText(), MemoDisplayText(Form().MemoText()));
  EXPECT_TRUE(Find<FileCopyAnimation>("Animate1")->isHidden());

  // The transfer closed the port: now the window closes without a question.
  EXPECT_TRUE(window->close());
  EXPECT_TRUE(confirmations.empty());
}

}  // namespace
}  // namespace mx::test
