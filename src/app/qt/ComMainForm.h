#pragma once

// The main window FVantroUpdate with Qt widgets. All behaviour lives in
// UpdaterForm: the window shows the form's state and forwards the user's
// input to it.

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/form/FormLayout.h"
#include "app/form/FormView.h"
#include "app/form/UpdaterForm.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QToolButton;

namespace mx {

class FileCopyAnimation;

// The application's title: the name of its desktop entry (which the taskbar
// shows) and the title of every message box. Never a suffix of a window's
// title: the main window's caption is exactly its TitleText.
inline constexpr char kApplicationTitle[] = "Vantro Update System";

// Names the running application after its executable and desktop entry,
// and sets no display name, which Qt would append to every window title.
void SetUpApplication();

class TFVantroUpdate final : public QWidget, public FormView {
 public:
  static constexpr int kMinimumWidth = layout::kMinimumWidth;
  static constexpr int kMinimumHeight = layout::kMinimumHeight;

  // Given the window's own view, returns the view its form shows through:
  // another one in front of it (a test's that answers the dialogs), which
  // must outlive the window.
  using ViewInFront = std::function<FormView&(FormView& window)>;

  // Builds the widgets, then the form on top of them. Call Form().FormCreate()
  // before the window is first shown.
  TFVantroUpdate(EventLoop& loop, FormServices services, const ViewInFront& viewInFront = {},
                 QWidget* parent = nullptr);
  ~TFVantroUpdate() override;

  UpdaterForm& Form() { return *form_; }
  // The frame around the client area: measured once the window is shown
  // with one, else the window system's usual frame. The designed and the
  // minimum sizes are the window's outer size, frame included.
  QSize FrameSize() const;
  // Shows the window centred on its screen, within its available area, with
  // the focus on Connect.
  void ShowCentred();

  // FormView
  void ControlChanged(Control control) override;
  void MemoAppended(std::string_view line) override;
  void MemoReset() override;
  void MemoSelectLastCharacter() override;
  void ProgressChanged() override;
  void MessagePanelToggled(bool shown) override;
  void ShowMessage(std::string_view text) override;
  bool Confirm(std::string_view text, ConfirmButtons buttons) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Beep() override;
  void ShowHelp() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // ---- building from the layout description (ComMainFormBuild.cpp)
  template <class Widget>
  Widget* Register(Control control, Widget* object);
  QWidget* PanelWidget(const ControlLayout& look);
  void BuildControl(const ControlLayout& look);
  QToolButton* AddButton(Control control, QWidget* parent);
  QCheckBox* AddCheckBox(Control control, QWidget* parent);
  QLabel* AddLabel(const ControlLayout& look, QWidget* parent);
  QLineEdit* AddCharacterEdit(Control control, QWidget* parent);
  void AddComboBox(const ControlLayout& look, QWidget* parent);
  void AddMemo(const ControlLayout& look, QWidget* parent);
  void AddMenuEntry(Control entry);
  void BuildPopupMenu(QToolButton* button);
  void ApplyFonts();
  void SetTabOrder();
  void LayOutPanels();
  // Notes the width that the control's text needs now and moves the
  // controls when that changes where they sit.
  void NoteTextWidth(Control control);
  // Resizes the client area to what is wanted, as far as the screen allows,
  // and keeps the window's bottom on the screen.
  void ResizeOnScreen(int clientWidth, int clientHeight);
  void KeepOnScreen();
  // Before `widget`, which has the focus, is disabled or hidden.
  void MoveFocusOff(QWidget* widget);

  // ---- showing the form's state (ComMainForm.cpp)
  void ApplyAll();
  void ApplyControl(Control control);
  void ApplyCaption(Control control, const ControlState& state);
  void FollowMemoEnd();

  // ---- input
  // Runs a form handler as the application's top level would: the silent
  // abort is dropped, any other error is shown in a message box.
  void RunGuarded(const std::function<void()>& handler);

  std::array<QObject*, static_cast<std::size_t>(Control::Count)> controls_{};
  std::array<int, static_cast<std::size_t>(Control::Count)> textWidths_{};  // what each text needs
  QString lastFolder_;  // of the file chosen last, where the file dialog opens next
  QFrame* panel3_ = nullptr;
  QFrame* panel8_ = nullptr;
  QFrame* panel4_ = nullptr;
  QFrame* panel1_ = nullptr;
  QFrame* panel2_ = nullptr;
  QComboBox* comboBox1_ = nullptr;
  QPlainTextEdit* memo_ = nullptr;
  QProgressBar* progressBar1_ = nullptr;
  FileCopyAnimation* animate1_ = nullptr;
  QMenu* popupMenu1_ = nullptr;
  Language fontLanguage_ = Language::None;
  FormView* formView_ = this;  // what the form shows through
  std::unique_ptr<UpdaterForm> form_;
};

}  // namespace mx
