// The window as people use it: the keyboard, the screen's size, Qt's own
// texts in Chinese.

#include <QApplication>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QScreen>

#include "WindowFixture.h"
#include "app/qt/QtTranslations.h"

namespace mx::test {
namespace {

void Press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(widget, &release);
}

TEST_F(WindowTest, FocusStartsOnConnectAndTabFollowsTheRowsSkippingHiddenControls) {
  Start();
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("Button_Open"));
  // Update and Restore are disabled, Send, Erase and Set_Bootloader hidden.
  Press(window->focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("BtnClearMemo"));
  Press(window->focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(window->focusWidget(), Find<QComboBox>("ComboBox1"));
  Press(window->focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("cbAuto_select"));
  // The memo is in the hidden message panel: the next is the first option.
  Press(window->focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(window->focusWidget(), Find<QWidget>("CBShowmag"));
}

TEST_F(WindowTest, ReturnAndEnterPressTheFocusedButtonAndTheMenuKeyOrShiftF10OpensConnectsMenu) {
  Start();
  auto* clearMemo = Find<QToolButton>("BtnClearMemo");
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    Find<QPlainTextEdit>("Memo")->setPlainText(QStringLiteral("line"));
    ASSERT_EQ(Form().Controls().MemoText(), "line");
    clearMemo->setFocus();
    Press(clearMemo, key);
    EXPECT_EQ(Form().Controls().MemoText(), "") << key;
  }
  auto* open = Find<QToolButton>("Button_Open");
  auto* menu = open->menu();
  QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, open->rect().center(),
                            open->mapToGlobal(open->rect().center()));
  QApplication::sendEvent(open, &menuKey);
  EXPECT_TRUE(menu->isVisible());
  menu->close();
  // A keyboard without a Menu key: Shift+F10 opens it below the button.
  open->setFocus();
  Press(open, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->pos(), open->mapToGlobal(open->rect().bottomLeft()));
  menu->close();
  Press(open, Qt::Key_F10);  // F10 alone is no request for it
  EXPECT_FALSE(menu->isVisible());
}

TEST_F(WindowTest, TheWindowNeverGrowsPastTheScreenAndItsPanelsKeepTheirHeights) {
  Start();
  const QSize room = window->screen()->availableGeometry().size();
  Find<QCheckBox>("CBShowmag")->click();
  EXPECT_LE(window->frameGeometry().width(), room.width());
  EXPECT_LE(window->frameGeometry().height(), room.height());
  const QRect screen = window->screen()->availableGeometry();
  EXPECT_GE(window->frameGeometry().top(), screen.top());
  EXPECT_LE(window->frameGeometry().bottom(), screen.bottom()) << "grown past the screen's bottom";
  EXPECT_EQ(Find<QFrame>("Panel3")->height(), layout::kCommandPanelHeight);
  EXPECT_EQ(Find<QFrame>("Panel1")->height(), layout::kStatusPanelHeight);
  EXPECT_EQ(Find<QFrame>("Panel1")->geometry().bottom() + 1, window->height());
  EXPECT_EQ(Find<QFrame>("Panel8")->geometry().bottom() + 1, Find<QFrame>("Panel1")->y());
}

TEST_F(WindowTest, ChineseTextsBringQtsOwnButtonsInChinese) {
  Store("language", "CH");
  Start();
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Cancel);
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QString::fromUtf8("取消"));
  UseQtTranslations(Language::English);
  QMessageBox english;
  english.setStandardButtons(QMessageBox::Cancel);
  EXPECT_EQ(english.button(QMessageBox::Cancel)->text(), QStringLiteral("Cancel"));
}

}  // namespace
}  // namespace mx::test
