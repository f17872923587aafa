#include "app/qt/ComMainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QToolButton>
#include <algorithm>

#include "app/qt/FileCopyAnimation.h"
#include "app/qt/ViewText.h"
#include "app/qt/helpu.h"

namespace mx {
namespace {

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

void ShowItems(QComboBox* box, const std::vector<std::string>& items, QString (*shownAs)(std::string_view)) {
  QStringList wanted;
  for (const std::string& item : items) wanted << shownAs(item);
  QStringList shown;
  for (int i = 0; i < box->count(); ++i) shown << box->itemText(i);
  if (shown == wanted) return;
  box->clear();
  box->addItems(wanted);
}

}  // namespace

// ---- showing the form's state --------------------------------------------

void TFVantroUpdate::ApplyAll() {
  for (std::size_t i = 0; i < Index(Control::Count); ++i) ApplyControl(static_cast<Control>(i));
  MemoReset();
  ProgressChanged();
}

void TFVantroUpdate::ControlChanged(Control control) { ApplyControl(control); }

void TFVantroUpdate::ApplyControl(Control control) {
  if (!form_) return;
  if (form_->CurrentLanguage() != fontLanguage_) {
    fontLanguage_ = form_->CurrentLanguage();
    ApplyFonts();
  }
  const ControlState& state = form_->State(control);
  if (control == Control::Window) {
    setWindowTitle(ToQString(state.caption));
    return;
  }
  QObject* object = controls_[Index(control)];
  const QSignalBlocker blocker(object);
  if (auto* action = qobject_cast<QAction*>(object)) {
    action->setText(PlainCaption(state.caption));
    action->setEnabled(state.enabled);
    action->setVisible(state.visible);
    return;
  }
  ApplyCaption(control, state);
  auto* widget = static_cast<QWidget*>(object);
  if ((!state.enabled || !state.visible) && widget == focusWidget()) MoveFocusOff(widget);
  widget->setEnabled(state.enabled);
  widget->setVisible(state.visible);
  if (control == Control::Animate1) animate1_->SetRunning(state.checked);
  NoteTextWidth(control);
}

void TFVantroUpdate::MoveFocusOff(QWidget* widget) {
  // Qt would pass the focus to the next control in the Tab order.
  auto* fallback = static_cast<QWidget*>(controls_[Index(kFallbackFocus)]);
  if (fallback != widget && fallback->isEnabled() && !fallback->isHidden()) fallback->setFocus(Qt::OtherFocusReason);
}

void TFVantroUpdate::ApplyCaption(Control control, const ControlState& state) {
  QObject* object = controls_[Index(control)];
  const QString caption = ToQString(state.caption);
  if (auto* box = qobject_cast<QCheckBox*>(object)) {
    box->setText(PlainCaption(state.caption));
    box->setChecked(state.checked);
  } else if (auto* button = qobject_cast<QAbstractButton*>(object)) {
    button->setText(PlainCaption(state.caption));
  } else if (auto* label = qobject_cast<QLabel*>(object)) {
    label->setText(caption);
  } else if (auto* edit = qobject_cast<QLineEdit*>(object)) {
    if (edit->text() != caption) edit->setText(caption);  // keeps the caret while the user types
  } else if (auto* combo = qobject_cast<QComboBox*>(object)) {
    if (control == Control::ComboBox1) {
      ShowItems(combo, form_->Controls().PortItems(), &ShownPortName);
      // Text the user is typing comes back as it is: leave it, with its caret.
      const QString shown = ShownPortName(state.caption);
      if (combo->currentText() != caption && combo->currentText() != shown) combo->setEditText(shown);
    } else {
      ShowItems(combo, form_->Controls().WaitItems(), &ToQString);
      if (combo->currentText() != caption) combo->setEditText(caption);
    }
  }
}

void TFVantroUpdate::MemoAppended(std::string_view line) {
  if (!form_) return;
  const QSignalBlocker blocker(memo_);
  QTextCursor end(memo_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(MemoDisplayText(line));
  FollowMemoEnd();
}

void TFVantroUpdate::MemoReset() {
  if (!form_) return;
  const QSignalBlocker blocker(memo_);
  const QString text = MemoDisplayText(form_->Controls().MemoText());
  // The user's own edit comes back unchanged: leave it, with its caret.
  if (memo_->toPlainText() != text) {
    memo_->setPlainText(text);
    FollowMemoEnd();
  }
  memo_->setReadOnly(form_->Controls().MemoReadOnly());
  if (memo_->font().pointSize() != form_->Controls().MemoFontPoints()) {
    QFont font = memo_->font();
    font.setPointSize(form_->Controls().MemoFontPoints());
    memo_->setFont(font);
  }
}

void TFVantroUpdate::MemoSelectLastCharacter() {
  QTextCursor last(memo_->document());
  last.movePosition(QTextCursor::End);
  last.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor);
  memo_->setTextCursor(last);
  memo_->ensureCursorVisible();
}

void TFVantroUpdate::FollowMemoEnd() {
  QScrollBar* bar = memo_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TFVantroUpdate::ProgressChanged() {
  if (!form_) return;
  // A range of 0..0 would make Qt's bar a busy indicator; an empty image shows an empty bar.
  const int maximum = std::max(1, form_->Controls().ProgressMax());
  progressBar1_->setRange(0, maximum);
  progressBar1_->setValue(std::clamp(form_->Controls().ProgressPosition(), 0, maximum));
}

// ---- the application --------------------------------------------------------

void SetUpApplication() {
  QApplication::setApplicationName(QStringLiteral("mx_7410Update"));
  QGuiApplication::setDesktopFileName(QStringLiteral("mx7410-update"));
}

// ---- dialogs ---------------------------------------------------------------

namespace {

// A dialog opened before the window is shown (during start-up) has no parent
// to centre on.
QWidget* DialogParent(QWidget* window) { return window->isVisible() ? window : nullptr; }

}  // namespace

void TFVantroUpdate::ShowMessage(std::string_view text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle), ToQString(text), QMessageBox::Ok,
                  DialogParent(this));
  box.exec();
}

bool TFVantroUpdate::Confirm(std::string_view text, ConfirmButtons buttons) {
  const QMessageBox::StandardButtons choices = buttons == ConfirmButtons::YesCancel
                                                   ? QMessageBox::Yes | QMessageBox::Cancel
                                                   : QMessageBox::Yes | QMessageBox::No;
  return QMessageBox::question(DialogParent(this), QString::fromUtf8(kApplicationTitle), ToQString(text), choices,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<std::string> TFVantroUpdate::ChooseFile(std::string_view filter) {
  QFileDialog dialog(DialogParent(this));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name of a missing file is accepted too
  // The filters show their names only; their patterns match without regard to case.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const QStringList filters = QtFileFilter(filter).split(QStringLiteral(";;"), Qt::SkipEmptyParts);
  dialog.setNameFilters(filters);
  if (!filters.isEmpty()) dialog.selectNameFilter(filters.front());
  // Back in the folder of the file chosen last, as the home platform's dialog does.
  if (!lastFolder_.isEmpty()) dialog.setDirectory(lastFolder_);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QString chosen = dialog.selectedFiles().front();
  lastFolder_ = QFileInfo(chosen).absolutePath();
  return ToStdString(QDir::toNativeSeparators(chosen));
}

void TFVantroUpdate::Beep() { QApplication::beep(); }

void TFVantroUpdate::ShowHelp() {
  ThelpFrm helpFrm(this);
  helpFrm.exec();
}

// ---- input -----------------------------------------------------------------

void TFVantroUpdate::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  RunGuarded([&] { form_->FormCloseQuery(canClose); });
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TFVantroUpdate::RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const UpdaterForm::OperationAborted&) {
    // silent, like the abort of a failed port listing everywhere else
  } catch (const std::exception& error) {
    formView_->ShowMessage(error.what());
  }
}

}  // namespace mx
