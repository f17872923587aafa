// An update run through the window against the simulated bootloader, with
// a close request in the middle of it.

#include <QKeyEvent>
#include <QTimer>

#include "WindowFixture.h"
#include "sim/SimulatedBootloader.h"
#include "support/HexWriter.h"

namespace mx::test {
namespace {

TEST_F(WindowTest, UpdateRunsThroughTheWindowAndClosingDuringItIsRefused) {
  sim::SimulatedBootloader device;
  device.Start();
  const std::string hexFile =
      settings.Write("firmware.hex", HexImage().Bytes(0, Pattern(40 * 16)).End().Text()).string();
  ASSERT_NO_FATAL_FAILURE(StartConnectedTo(device.PortPath()));
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
      updatingAtClose = Form().Flags().updating;
      closedDuringUpdate = window->close();
      statusAtClose = Find<QLabel>("Label11")->text();
    });
  });
  dialogs->chosenFile = hexFile;
  Find<QToolButton>("BtnFileOpen")->click();  // the whole update runs inside

  EXPECT_TRUE(updatingAtClose);
  EXPECT_FALSE(closedDuringUpdate);
  EXPECT_EQ(statusAtClose, QStringLiteral("Mx7410 is Updatting can not stop system"));
  EXPECT_TRUE(animationRunning);
  EXPECT_EQ(progress->maximum(), 40);
  EXPECT_EQ(progress->value(), 40);
  ExpectCaptions(*window, {{"Label_Percent", "100%"}});
  EXPECT_NE(std::find(dialogs->messages.begin(), dialogs->messages.end(), "Finish Update"), dialogs->messages.end());
  std::string why;
  EXPECT_TRUE(device.MatchesHexFile(hexFile, &why)) << why;
  EXPECT_EQ(Find<QPlainTextEdit>("Memo")->toPlainText(), MemoDisplayText(Form().Controls().MemoText()));
  EXPECT_TRUE(Find<FileCopyAnimation>("Animate1")->isHidden());

  // The transfer closed the port: now the window closes without a question.
  EXPECT_TRUE(window->close());
  EXPECT_TRUE(dialogs->confirmations.empty());
}

TEST_F(WindowTest, ARefusedFileLeavesItsStatusWholeAndTheFocusWhereReturnDoesNoHarm) {
  sim::SimulatedBootloader device;
  device.Start();
  ASSERT_NO_FATAL_FAILURE(StartConnectedTo(device.PortPath()));

  auto* update = Find<QToolButton>("BtnFileOpen");
  update->setFocus();
  ASSERT_EQ(window->focusWidget(), update);
  dialogs->chosenFile = settings.Write("refused.hex", "not a HEX file\r\n").string();
  update->click();  // disabled while the file is read, enabled again once it is refused

  EXPECT_FALSE(dialogs->messages.empty());
  EXPECT_TRUE(update->isEnabled());
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("CBShowmag"));
  const std::string memo = Form().Controls().MemoText();
  QKeyEvent stray(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(window->focusWidget(), &stray);
  EXPECT_EQ(Form().Controls().MemoText(), memo);

  auto* status = Find<QLabel>("LabelTimeout");
  auto* next = Find<QLabel>("Label7");
  EXPECT_EQ(status->text(), QStringLiteral("Hex File Openning..."));
  EXPECT_GE(status->width(), status->sizeHint().width());
  EXPECT_LE(status->geometry().right(), next->x()) << "Label7 covers the status";
}

}  // namespace
}  // namespace mx::test
