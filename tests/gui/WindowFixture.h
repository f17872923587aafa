#pragma once

// The real window on the offscreen platform, with its dialogs answered by
// the test, so nothing blocks.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/PrivateProfile.h"
#include "app/qt/ComMainForm.h"
#include "app/qt/FileCopyAnimation.h"
#include "app/qt/QtEventLoop.h"
#include "app/qt/ViewText.h"
#include "app/qt/helpu.h"
#include "support/DialogAnsweringView.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace mx::test {

inline constexpr char kEnglishTitle[] = "Mx7410 Bootloader System(2012.11)";

class WindowTest : public ::testing::Test {
 protected:
  void Start() {
    FormServices services;
    services.settingsDirectory = settings.WithSeparator();
    services.listSerialPorts = [this] { return ports; };
    services.portDevicePath = [](const std::string& name) { return name; };
    services.killProcessByName = [](const std::string&) { return false; };
    services.trustedKeysFolder = trustedKeysFolder;
    window = std::make_unique<TFVantroUpdate>(loop, std::move(services), [this](FormView& own) -> FormView& {
      dialogs = std::make_unique<DialogAnsweringView>(own);
      return *dialogs;
    });
    window->Form().FormCreate();
    window->ShowCentred();
  }

  UpdaterForm& Form() { return window->Form(); }

  template <class Widget>
  Widget* Find(const char* name) {
    auto* found = window->findChild<Widget*>(QString::fromLatin1(name));
    if (found == nullptr) ADD_FAILURE() << "no " << name;
    return found;
  }

  std::string Setting(const char* key) {
    return ReadProfileString("ComPort", key, "<missing>", settings.WithSeparator() + "Comport.ini");
  }
  void Store(const char* key, const char* value) {
    ASSERT_TRUE(WriteProfileString("ComPort", key, value, settings.WithSeparator() + "Comport.ini"));
  }

  // Connects in code to `path`, with auto select switched off by the user.
  void ChoosePortByHand(const std::string& path) {
    Find<QCheckBox>("cbAuto_select")->click();
    Find<QComboBox>("ComboBox1")->setEditText(QString::fromStdString(path));
    ASSERT_FALSE(Form().State(Control::cbAuto_select).checked);
    ASSERT_EQ(Form().State(Control::ComboBox1).caption, path);
  }
  // The window started and connected by hand to the port at `path`.
  void StartConnectedTo(const std::string& path) {
    Start();
    ChoosePortByHand(path);
    Find<QToolButton>("Button_Open")->click();
    ASSERT_TRUE(Form().FConnected()) << (dialogs->messages.empty() ? "" : dialogs->messages.front());
  }

  TempDir settings;
  std::vector<std::string> ports{"ttyMX0", "ttyMX9"};
  std::optional<std::string> trustedKeysFolder;  // none: "trusted-keys" beside the test program
  QtEventLoop loop;
  std::unique_ptr<DialogAnsweringView> dialogs;  // outlives the window, whose form shows through it
  std::unique_ptr<TFVantroUpdate> window;
};

struct Caption {
  const char* control;
  const char* text;
};

inline QString ShownCaption(QObject* control) {
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* action = qobject_cast<QAction*>(control)) return action->text();
  return QStringLiteral("<no caption>");
}

inline void ExpectCaptions(TFVantroUpdate& window, const std::vector<Caption>& captions) {
  for (const Caption& expected : captions) {
    QObject* control = window.findChild<QObject*>(QString::fromLatin1(expected.control));
    ASSERT_NE(control, nullptr) << expected.control;
    EXPECT_EQ(ShownCaption(control), QString::fromUtf8(expected.text)) << expected.control;
  }
}

}  // namespace mx::test
