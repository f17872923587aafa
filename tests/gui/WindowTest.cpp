// The window's start-up, language, message panel, connection states, close
// guard, help window and memo.

#include <QFileDialog>
#include <QFileInfo>
#include <QScreen>
#include <QTextCursor>

#include "WindowFixture.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

TEST_F(WindowTest, FirstStartStoresDefaultsAndOpensInEnglishWithThePanelHidden) {
  Start();

  EXPECT_EQ(Setting("Showmag"), "0");
  EXPECT_EQ(Setting("language"), "ENG");
  EXPECT_TRUE(Find<QFrame>("Panel8")->isHidden());
  EXPECT_FALSE(Find<QCheckBox>("CBShowmag")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>("cbAuto_select")->isChecked());
  // Exactly the title: a display name of the application would be appended to it.
  EXPECT_EQ(window->windowTitle(), QString::fromLatin1(kEnglishTitle));
  EXPECT_FALSE(QGuiApplication::applicationDisplayName().contains(QString::fromLatin1(kApplicationTitle)));
  ExpectCaptions(*window, {{"Button_Open", "Connect"},
                           {"BtnFileOpen", "Update"},
                           {"BtnRestore", "Restore"},
                           {"BtnClearMemo", "Clear Memo"},
                           {"Portlb", "Port"},
                           {"BtnHelp", "Help"},
                           {"CBShowmag", "Show Messag"},
                           {"TestData_CB", "Code Report"},
                           {"LaTitle", kEnglishTitle},
                           {"cbAuto_select", "Auto select comport"},
                           {"SetBootloader1", "Update Wizard"},
                           {"DisConnect1", "DisConnect"},
                           {"Restore1", "Restore"},
                           {"Label12", "Message"},
                           {"Label7", ""},
                           {"LabelTimeout", ""}});
  EXPECT_TRUE(Find<QToolButton>("Button_Open")->isEnabled());
  EXPECT_FALSE(Find<QToolButton>("BtnFileOpen")->isEnabled());
  EXPECT_FALSE(Find<QToolButton>("BtnRestore")->isEnabled());
  EXPECT_FALSE(Find<QAction>("DisConnect1")->isEnabled());
  EXPECT_EQ(Find<QComboBox>("ComboBox1")->currentText(), QStringLiteral("ttyMX9"));
  EXPECT_EQ(Find<QComboBox>("ComboBox1")->count(), 2);
  EXPECT_TRUE(dialogs->messages.empty());
}

TEST_F(WindowTest, DesignedHiddenControlsExistHidden) {
  Start();
  for (const char* name : {"Button_Send", "BtnErase", "Set_Bootloader", "EditXoff", "EditXon", "Label3", "Label4",
                           "Label5", "Label6", "Label10", "Label8", "ComboBoxwWait", "Animate1"}) {
    auto* control = Find<QWidget>(name);
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(control->isHidden()) << name;
  }
  EXPECT_EQ(Find<QComboBox>("ComboBoxwWait")->currentText(), QStringLiteral("3"));
  EXPECT_LE(Find<FileCopyAnimation>("Animate1")->height(), 50);
}

TEST_F(WindowTest, ChineseSettingGivesChineseCaptions) {
  Store("language", "CH");
  Start();

  EXPECT_EQ(window->windowTitle(), QStringLiteral("Mx7410 更新系統(2012.11)"));
  ExpectCaptions(*window, {{"Button_Open", "連線"},
                           {"BtnFileOpen", "更新"},
                           {"BtnRestore", "還原"},
                           {"BtnClearMemo", "清除訊息"},
                           {"Portlb", "埠號"},
                           {"BtnHelp", "求助"},
                           {"CBShowmag", "顯示訊息"},
                           {"TestData_CB", "編碼報表"},
                           {"cbAuto_select", "自動選擇埠號"},
                           {"SetBootloader1", "更新精靈"},
                           {"DisConnect1", "中斷連線"}});
}

TEST_F(WindowTest, ShowMessageGrowsTheWindowBy400AndUncheckingShrinksItAgain) {
  Start();
  auto* showMessages = Find<QCheckBox>("CBShowmag");
  auto* panel = Find<QFrame>("Panel8");
  const int closedHeight = window->height();

  showMessages->click();
  EXPECT_TRUE(Form().State(Control::CBShowmag).checked);
  EXPECT_EQ(window->height(), closedHeight + UpdaterForm::kMessagePanelGrowth);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_TRUE(Find<QPlainTextEdit>("Memo")->isVisible());
  EXPECT_EQ(Setting("Showmag"), "1");

  showMessages->click();
  EXPECT_EQ(window->height(), closedHeight);
  EXPECT_TRUE(panel->isHidden());
  EXPECT_EQ(Setting("Showmag"), "0");
}

TEST_F(WindowTest, StoredShowmagOneOpensWithThePanelShownAtTheDesignedOuterSize) {
  Store("Showmag", "1");
  Start();
  EXPECT_TRUE(Find<QCheckBox>("CBShowmag")->isChecked());
  EXPECT_TRUE(Find<QFrame>("Panel8")->isVisible());
  const QSize frame = window->FrameSize();
  const QSize room = window->screen()->availableGeometry().size();
  EXPECT_EQ(window->width() + frame.width(), std::min(layout::kDesignedWidth, room.width()));
  EXPECT_EQ(window->height() + frame.height(),
            std::min(UpdaterForm::kDesignedHeight + UpdaterForm::kMessagePanelGrowth, room.height()));
}

TEST_F(WindowTest, WithoutTheMessagePanelNoEmptyStripShowsBetweenThePanels) {
  for (const char* stored : {"0", "1"}) {
    Store("Showmag", stored);
    Start();
    if (Find<QCheckBox>("CBShowmag")->isChecked()) Find<QCheckBox>("CBShowmag")->click();
    EXPECT_EQ(Find<QFrame>("Panel1")->y(), Find<QFrame>("Panel3")->geometry().bottom() + 1) << stored;
    EXPECT_EQ(window->height(), layout::kCommandPanelHeight + layout::kStatusPanelHeight) << stored;
    window.reset();
  }
}

TEST_F(WindowTest, ThePortBoxShowsASimulatorsPortByItsNameAndMeansItsPath) {
  const std::string simulator = settings.WithSeparator() + "ports/sim0";
  ports = {"ttyMX0", simulator};
  Start();
  auto* box = Find<QComboBox>("ComboBox1");
  EXPECT_EQ(box->currentText(), QStringLiteral("sim0"));
  EXPECT_EQ(box->itemText(1), QStringLiteral("sim0"));
  EXPECT_EQ(Form().State(Control::ComboBox1).caption, simulator);

  box->setCurrentIndex(0);
  EXPECT_EQ(Form().State(Control::ComboBox1).caption, "ttyMX0");
  box->setCurrentIndex(1);
  EXPECT_EQ(Form().State(Control::ComboBox1).caption, simulator);
  EXPECT_EQ(box->currentText(), QStringLiteral("sim0"));
  // A path typed by hand stays as typed, also while it is being typed.
  for (const char* typed : {"/dev/tty", "/dev/ttyUSB0"}) {
    box->setEditText(QString::fromLatin1(typed));
    EXPECT_EQ(Form().State(Control::ComboBox1).caption, typed);
    EXPECT_EQ(box->currentText(), QString::fromLatin1(typed));
  }
}

// Every caption fits its control, which grows to it, and no shown control
// covers another: in English and in Chinese.
TEST_F(WindowTest, EveryCaptionFitsItsControlAndNoShownControlsOverlap) {
  for (const char* language : {"ENG", "CH"}) {
    Store("language", language);
    Start();
    EXPECT_EQ(Find<QCheckBox>("cbAuto_select")->text(),
              QString::fromUtf8(std::string(language) == "ENG" ? "Auto select comport" : "自動選擇埠號"));
    for (const ControlLayout& look : WindowLayout()) {
      if (!GrowsToItsText(look)) continue;
      auto* widget = Find<QWidget>(std::string(ControlName(look.control)).c_str());
      if (widget->isHidden()) continue;
      EXPECT_GE(widget->width(), widget->sizeHint().width()) << ControlName(look.control) << " " << language;
    }
    for (const char* panel : {"Panel3", "Panel1"}) {
      const QList<QWidget*> shown = Find<QFrame>(panel)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
      for (QWidget* a : shown) {
        for (QWidget* b : shown) {
          if (a >= b || a->isHidden() || b->isHidden()) continue;
          EXPECT_FALSE(a->geometry().intersects(b->geometry()))
              << a->objectName().toStdString() << " and " << b->objectName().toStdString() << " " << language;
        }
      }
    }
    window.reset();
  }
}

TEST_F(WindowTest, TheFileDialogOpensInTheFolderOfTheFileChosenLast) {
  Start();
  const TempDir elsewhere;
  const std::string chosen = elsewhere.Write("app.hex", ":00000001FF\r\n").string();
  const QString folder = QFileInfo(QString::fromStdString(chosen)).absolutePath();
  QStringList openedIn;
  QTimer answerer;
  answerer.setInterval(10);
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    openedIn << dialog->directory().absolutePath();
    if (openedIn.size() == 1) {
      dialog->selectFile(QString::fromStdString(chosen));
      static_cast<QDialog*>(dialog)->accept();  // public in QDialog
    } else {
      dialog->reject();
    }
  });
  answerer.start();

  // The window's own dialog, not the one the tests answer in front of it.
  const std::optional<std::string> first = window->ChooseFile("hex Files|*.hex");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(QFileInfo(QString::fromStdString(*first)).canonicalFilePath(),
            QFileInfo(QString::fromStdString(chosen)).canonicalFilePath());
  // Qt's own dialog remembers the folder it last showed, the platform's native
  // one does not: another dialog that went elsewhere changes nothing here.
  QFileDialog(nullptr, QString(), QString::fromStdString(settings.Path().string()))
      .setDirectory(settings.Path().c_str());
  EXPECT_FALSE(window->ChooseFile("hex Files|*.hex").has_value());
  ASSERT_EQ(openedIn.size(), 2);
  EXPECT_NE(openedIn[0], folder);
  EXPECT_EQ(QFileInfo(openedIn[1]).canonicalFilePath().toStdString(),
            QFileInfo(folder).canonicalFilePath().toStdString());
}

TEST_F(WindowTest, ConnectedAndDisconnectedStatesAreShownByTheWidgets) {
  Pty pty;
  Start();
  ChoosePortByHand(pty.SlavePath());

  Form().SetConnectState(true);
  ASSERT_TRUE(Form().FConnected()) << (dialogs->messages.empty() ? "" : dialogs->messages.front());
  ExpectCaptions(*window, {{"Button_Open", "DisConnect"}});
  // Opened, not answered: Update and Restore wait for the bootloader.
  EXPECT_FALSE(Find<QToolButton>("BtnFileOpen")->isEnabled());
  EXPECT_FALSE(Find<QToolButton>("BtnRestore")->isEnabled());
  EXPECT_FALSE(Find<QCheckBox>("TestData_CB")->isEnabled());
  EXPECT_TRUE(Find<QAction>("DisConnect1")->isEnabled());
  EXPECT_FALSE(Find<QAction>("SetBootloader1")->isEnabled());

  Form().SetConnectState(false);
  ExpectCaptions(*window, {{"Button_Open", "Connect"}});
  EXPECT_FALSE(Find<QToolButton>("BtnFileOpen")->isEnabled());
  EXPECT_FALSE(Find<QToolButton>("BtnRestore")->isEnabled());
  EXPECT_TRUE(Find<QCheckBox>("TestData_CB")->isEnabled());
  EXPECT_FALSE(Find<QAction>("DisConnect1")->isEnabled());
  EXPECT_TRUE(Find<QAction>("SetBootloader1")->isEnabled());
  EXPECT_TRUE(dialogs->messages.empty());
}

TEST_F(WindowTest, PopupMenuOfConnectHoldsItsEntriesAndDisconnectsWithoutAsking) {
  Pty pty;
  Start();
  auto* open = Find<QToolButton>("Button_Open");
  ASSERT_NE(open->menu(), nullptr);
  QStringList entries;
  for (QAction* action : open->menu()->actions()) entries << action->objectName();
  EXPECT_EQ(entries, (QStringList{"SetBootloader1", "DisConnect1", "Restore1"}));
  EXPECT_EQ(open->contextMenuPolicy(), Qt::CustomContextMenu);

  ChoosePortByHand(pty.SlavePath());
  Form().SetConnectState(true);
  ASSERT_TRUE(Form().FConnected());
  Find<QAction>("DisConnect1")->trigger();
  EXPECT_FALSE(Form().FConnected());
  EXPECT_TRUE(dialogs->confirmations.empty());
  EXPECT_FALSE(Find<QToolButton>("BtnFileOpen")->isEnabled());
}

TEST_F(WindowTest, CodeReportOpensThePortDisablesItselfAndSetsTheMemoFont) {
  Pty pty;
  Start();
  ChoosePortByHand(pty.SlavePath());
  auto* codeReport = Find<QCheckBox>("TestData_CB");
  auto* memo = Find<QPlainTextEdit>("Memo");

  codeReport->click();
  EXPECT_TRUE(Form().FConnected());
  EXPECT_TRUE(codeReport->isChecked());
  EXPECT_FALSE(codeReport->isEnabled());
  EXPECT_EQ(memo->font().pointSize(), 10);

  Find<QToolButton>("Button_Open")->click();  // disconnects
  EXPECT_FALSE(Form().FConnected());
  EXPECT_TRUE(codeReport->isEnabled());
  EXPECT_TRUE(codeReport->isChecked());

  codeReport->click();
  EXPECT_FALSE(codeReport->isChecked());
  EXPECT_EQ(memo->font().pointSize(), 12);
  EXPECT_TRUE(dialogs->messages.empty());
}

TEST_F(WindowTest, CodeReportShowsRawTextWithTheCaretOnItsLastCharacter) {
  Pty pty;
  Store("Showmag", "1");
  Start();
  ChoosePortByHand(pty.SlavePath());
  Find<QCheckBox>("TestData_CB")->click();
  pty.Write({'r', 'a', 'w', '!'});
  const Clock::time_point patience = Clock::now() + 10s;
  while (Form().Controls().MemoText() != "raw!" && Clock::now() < patience) loop.WaitForEvents(patience);

  const QTextCursor caret = Find<QPlainTextEdit>("Memo")->textCursor();
  EXPECT_EQ(caret.selectedText(), QStringLiteral("!"));
  EXPECT_EQ(caret.selectionEnd(), 4);
}

TEST_F(WindowTest, ClosingWhileDisconnectedAsksNothing) {
  Start();
  EXPECT_TRUE(window->close());
  EXPECT_TRUE(dialogs->confirmations.empty());
}

TEST_F(WindowTest, ClosingWhileConnectedAsksAndCancelKeepsWindowAndPort) {
  Pty pty;
  Start();
  ChoosePortByHand(pty.SlavePath());
  Form().SetConnectState(true);
  ASSERT_TRUE(Form().FConnected());

  dialogs->confirmAnswer = false;
  EXPECT_FALSE(window->close());
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(Form().FConnected());
  EXPECT_EQ(dialogs->confirmations, (std::vector<std::string>{"Will Stop Bootloader，Stop!"}));

  dialogs->confirmAnswer = true;
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(Form().FConnected());
}

TEST_F(WindowTest, HelpWindowIsANewModalWindowEachTimeAndGoesWhenClosed) {
  Start();
  for (int round = 0; round < 2; ++round) {
    QPointer<ThelpFrm> shown;
    QString caption;
    QSize size;
    QStringList lines;
    bool readOnly = false;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* help = qobject_cast<ThelpFrm*>(QApplication::activeModalWidget());
      if (help == nullptr) return;
      closer.stop();
      shown = help;
      caption = help->windowTitle();
      size = help->size();
      lines = help->Memo1()->toPlainText().split(QLatin1Char('\n'));
      readOnly = help->Memo1()->isReadOnly();
      help->close();
    });
    closer.start();

    Find<QToolButton>("BtnHelp")->click();  // returns when the help window has closed

    EXPECT_FALSE(closer.isActive()) << "the help window was not shown, round " << round;
    EXPECT_TRUE(shown.isNull()) << "the help window outlived its showing";
    EXPECT_EQ(caption, QStringLiteral("helpFrm"));
    EXPECT_EQ(size, QSize(ThelpFrm::kWidth, ThelpFrm::kHeight));
    EXPECT_TRUE(readOnly);
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines.mid(lines.size() - 3), (QStringList{"Mx7410 Bootloader System(New)", "", " "}));
  }
}

TEST_F(WindowTest, UserEditsReachTheMemoTextAndClearMemoEmptiesTheWidget) {
  Start();
  auto* memo = Find<QPlainTextEdit>("Memo");
  ASSERT_FALSE(memo->isReadOnly());
  memo->setPlainText(QStringLiteral("first\nsecond"));
  EXPECT_EQ(Form().Controls().MemoText(), "first\r\nsecond");

  Find<QToolButton>("BtnClearMemo")->click();
  EXPECT_TRUE(memo->toPlainText().isEmpty());
  EXPECT_TRUE(Form().Controls().MemoText().empty());
}

TEST_F(WindowTest, AppendedLinesKeepTheMemoScrolledToTheEnd) {
  Start();
  Find<QCheckBox>("CBShowmag")->click();
  auto* memo = Find<QPlainTextEdit>("Memo");
  for (int i = 0; i < 200; ++i) window->MemoAppended("line " + std::to_string(i) + "\r\n");

  EXPECT_TRUE(memo->toPlainText().endsWith(QStringLiteral("line 198\nline 199\n")));
  QScrollBar* bar = memo->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace
}  // namespace mx::test
