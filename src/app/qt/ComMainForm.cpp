#include "app/qt/ComMainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qt/FileCopyAnimation.h"
#include "app/qt/ViewText.h"
#include "app/qt/helpu.h"

namespace mx {
namespace {

const QColor kMoneyGreen(0xC0, 0xDC, 0xC0);
const QColor kFuchsia(0xFF, 0x00, 0xFF);
const QColor kOlive(0x80, 0x80, 0x00);
const QColor kTeal(0x00, 0x80, 0x80);
const QColor kYellow(0xFF, 0xFF, 0x00);
const QColor kRed(0xFF, 0x00, 0x00);

constexpr int kWindowFontPixels = 12;
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 26;
constexpr int kSideColumnWidth = 140;

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

// Installed families that show Traditional Chinese, best first, then the
// usual names as a last resort for the font matcher.
QStringList TraditionalChineseFamilies() {
  static const QStringList preferred = {
      QStringLiteral("細明體"),           QStringLiteral("PMingLiU"),          QStringLiteral("MingLiU"),
      QStringLiteral("Noto Sans CJK TC"), QStringLiteral("Noto Serif CJK TC"), QStringLiteral("AR PL UMing TW"),
      QStringLiteral("AR PL UKai TW"),
  };
  const QStringList installed = QFontDatabase::families(QFontDatabase::TraditionalChinese);
  QStringList families;
  for (const QString& name : preferred) {
    if (installed.contains(name)) families << name;
  }
  if (families.isEmpty() && !installed.isEmpty()) families << installed.front();
  families << QStringLiteral("Noto Sans CJK TC") << QStringLiteral("AR PL UMing TW");
  families.removeDuplicates();
  return families;
}

// The family the font matcher really uses for `family`: a designed Windows
// font missing here is replaced by its closest installed match, so that a
// fallback family listed after it never takes its place.
QString InstalledFamily(const QString& family, QFont::StyleHint hint) {
  QFont font(family);
  font.setStyleHint(hint);
  return QFontInfo(font).family();
}

// The designed family (or its installed match) first, then the given
// fallback families for the characters it lacks.
QFont DesignedFont(const QString& family, const QStringList& fallbacks, int pixelSize, QFont::StyleHint hint) {
  QFont font;
  font.setFamilies(QStringList{InstalledFamily(family, hint)} + fallbacks);
  font.setStyleHint(hint);
  font.setPixelSize(pixelSize);
  return font;
}

QFrame* MakePanel(QWidget* parent, const QString& name, const QColor& colour) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, colour);
  panel->setPalette(palette);
  return panel;
}

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(role, colour);
  widget->setPalette(palette);
}

void ShowItems(QComboBox* box, const std::vector<std::string>& items) {
  QStringList wanted;
  for (const std::string& item : items) wanted << ToQString(item);
  QStringList shown;
  for (int i = 0; i < box->count(); ++i) shown << box->itemText(i);
  if (shown == wanted) return;
  box->clear();
  box->addItems(wanted);
}

}  // namespace

TFVantroUpdate::TFVantroUpdate(EventLoop& loop, FormServices services, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FVantroUpdate"));
  Register(Control::Window, static_cast<QWidget*>(this));
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(UpdaterForm::kDesignedWidth, UpdaterForm::kDesignedHeight);
  BuildCommandPanel();
  BuildMessagePanel();
  BuildStatusPanel();
  ApplyFonts();
  LayOutPanels();
  // The form may report changes while it is being built; they are shown
  // all together once it exists.
  form_ = std::make_unique<UpdaterForm>(loop, *this, std::move(services));
  ApplyAll();
}

TFVantroUpdate::~TFVantroUpdate() {
  // The form goes first, while the widgets it may still report to exist;
  // form_ is empty by then, so nothing reads a form being destroyed.
  std::unique_ptr<UpdaterForm> form = std::move(form_);
  form.reset();
}

void TFVantroUpdate::ShowCentred() {
  if (const QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
  show();
}

// ---- building ----------------------------------------------------------

template <class Widget>
Widget* TFVantroUpdate::Register(Control control, Widget* object) {
  if (control != Control::Window) {
    const std::string_view name = ControlName(control);
    object->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
  }
  controls_[Index(control)] = object;
  return object;
}

QToolButton* TFVantroUpdate::AddButton(Control control, QWidget* parent) {
  auto* button = Register(control, new QToolButton(parent));
  button->setAutoRaise(true);  // flat
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setMinimumSize(kButtonWidth, kButtonHeight);
  connect(button, &QToolButton::clicked, this, [this, control] {
    if (form_) RunGuarded([&] { form_->Click(control); });
  });
  return button;
}

QCheckBox* TFVantroUpdate::AddCheckBox(Control control, QWidget* parent) {
  auto* box = Register(control, new QCheckBox(parent));
  // clicked, unlike toggled, comes from the user only.
  connect(box, &QCheckBox::clicked, this, [this, control](bool checked) {
    if (!form_) return;
    RunGuarded([&] { form_->SetCheckedByUser(control, checked); });
    ApplyControl(control);  // the form may have kept the old state
  });
  return box;
}

QLabel* TFVantroUpdate::AddLabel(Control control, QWidget* parent) {
  auto* label = Register(control, new QLabel(parent));
  label->setTextFormat(Qt::PlainText);
  return label;
}

QLineEdit* TFVantroUpdate::AddCharacterEdit(Control control, QWidget* parent) {
  auto* edit = Register(control, new QLineEdit(parent));
  edit->setFixedWidth(24);
  connect(edit, &QLineEdit::textEdited, this, [this, control](const QString& text) {
    if (form_) RunGuarded([&] { form_->SetTextByUser(control, ToStdString(text)); });
  });
  return edit;
}

void TFVantroUpdate::BuildCommandPanel() {
  panel3_ = MakePanel(this, QStringLiteral("Panel3"), kMoneyGreen);

  auto* options = new QWidget(panel3_);
  options->setFixedWidth(kSideColumnWidth);
  auto* optionsLayout = new QVBoxLayout(options);
  optionsLayout->setContentsMargins(0, 0, 0, 0);
  optionsLayout->setSpacing(0);
  optionsLayout->addWidget(AddCheckBox(Control::CBShowmag, options));
  optionsLayout->addWidget(AddCheckBox(Control::TestData_CB, options));

  auto* title = AddLabel(Control::LaTitle, panel3_);
  title->setAlignment(Qt::AlignCenter);

  auto* helpColumn = new QWidget(panel3_);
  helpColumn->setFixedWidth(kSideColumnWidth);
  auto* helpLayout = new QHBoxLayout(helpColumn);
  helpLayout->setContentsMargins(0, 0, 0, 0);
  helpLayout->addStretch();
  helpLayout->addWidget(AddButton(Control::BtnHelp, helpColumn));

  auto* topRow = new QHBoxLayout;
  topRow->addWidget(options);
  topRow->addWidget(title, 1);
  topRow->addWidget(helpColumn);

  auto* open = AddButton(Control::Button_Open, panel3_);
  open->setMinimumWidth(kButtonWidth + 16);
  BuildPopupMenu(open);

  auto* port = AddLabel(Control::Portlb, panel3_);
  comboBox1_ = Register(Control::ComboBox1, new QComboBox(panel3_));
  comboBox1_->setEditable(true);
  comboBox1_->setInsertPolicy(QComboBox::NoInsert);
  comboBox1_->setMinimumWidth(140);
  SetColour(comboBox1_, QPalette::Base, kMoneyGreen);
  SetColour(comboBox1_, QPalette::Button, kMoneyGreen);
  connect(comboBox1_, &QComboBox::editTextChanged, this, [this](const QString& text) {
    if (form_) RunGuarded([&] { form_->SetTextByUser(Control::ComboBox1, ToStdString(text)); });
  });

  auto* status = AddLabel(Control::Label11, panel3_);
  status->setAlignment(Qt::AlignCenter);
  status->setWordWrap(true);
  SetColour(status, QPalette::WindowText, kRed);

  auto* bottomRow = new QHBoxLayout;
  bottomRow->setSpacing(4);
  bottomRow->addWidget(open);
  for (Control button : {Control::BtnFileOpen, Control::BtnRestore, Control::BtnClearMemo, Control::Button_Send,
                         Control::BtnErase, Control::Set_Bootloader}) {
    bottomRow->addWidget(AddButton(button, panel3_));
  }
  bottomRow->addSpacing(12);
  bottomRow->addWidget(port);
  bottomRow->addWidget(comboBox1_);
  bottomRow->addSpacing(6);
  bottomRow->addWidget(AddCheckBox(Control::cbAuto_select, panel3_));
  bottomRow->addWidget(status, 1);
  // The serial character fields: hidden, set from the designed texts.
  bottomRow->addWidget(AddLabel(Control::Label3, panel3_));
  bottomRow->addWidget(AddCharacterEdit(Control::EditXoff, panel3_));
  bottomRow->addWidget(AddLabel(Control::Label5, panel3_));
  bottomRow->addWidget(AddLabel(Control::Label4, panel3_));
  bottomRow->addWidget(AddCharacterEdit(Control::EditXon, panel3_));
  bottomRow->addWidget(AddLabel(Control::Label6, panel3_));

  auto* layout = new QVBoxLayout(panel3_);
  layout->setContentsMargins(6, 2, 6, 4);
  layout->setSpacing(2);
  layout->addLayout(topRow);
  layout->addLayout(bottomRow);
}

void TFVantroUpdate::BuildPopupMenu(QToolButton* button) {
  popupMenu1_ = new QMenu(this);
  popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
  for (Control entry : {Control::SetBootloader1, Control::DisConnect1, Control::Restore1}) {
    QAction* action = Register(entry, popupMenu1_->addAction(QString()));
    connect(action, &QAction::triggered, this, [this, entry] {
      if (form_) RunGuarded([&] { form_->Click(entry); });
    });
  }
  // The menu opens from the button's arrow and with a right click.
  button->setMenu(popupMenu1_);
  button->setPopupMode(QToolButton::MenuButtonPopup);
  button->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(button, &QWidget::customContextMenuRequested, this,
          [this, button](const QPoint& at) { popupMenu1_->popup(button->mapToGlobal(at)); });
}

void TFVantroUpdate::BuildMessagePanel() {
  panel8_ = Register(Control::Panel8, MakePanel(this, QString(), kFuchsia));
  auto* panel4 = new QFrame(panel8_);
  panel4->setObjectName(QStringLiteral("Panel4"));

  auto* header = AddLabel(Control::Label12, panel4);
  header->setAutoFillBackground(true);
  header->setIndent(4);
  header->setMinimumHeight(24);
  SetColour(header, QPalette::Window, kOlive);

  memo_ = Register(Control::Memo, new QPlainTextEdit(panel4));
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette palette = memo_->palette();
  palette.setColor(QPalette::Base, kTeal);
  palette.setColor(QPalette::Text, kYellow);
  // The selection stays visible when the memo loses the focus.
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
  }
  memo_->setPalette(palette);
  connect(memo_, &QPlainTextEdit::textChanged, this, [this] {
    if (form_) RunGuarded([&] { form_->SetMemoTextByUser(MemoFormText(memo_->toPlainText())); });
  });

  auto* inner = new QVBoxLayout(panel4);
  inner->setContentsMargins(0, 0, 0, 0);
  inner->setSpacing(0);
  inner->addWidget(header);
  inner->addWidget(memo_, 1);

  auto* layout = new QVBoxLayout(panel8_);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(panel4);
}

void TFVantroUpdate::BuildStatusPanel() {
  panel1_ = MakePanel(this, QStringLiteral("Panel1"), kMoneyGreen);

  auto* statusRow = new QHBoxLayout;
  auto* percent = AddLabel(Control::Label_Percent, panel1_);
  percent->setMinimumWidth(50);
  auto* timeout = AddLabel(Control::LabelTimeout, panel1_);
  timeout->setMinimumWidth(140);
  statusRow->addWidget(percent);
  statusRow->addWidget(timeout);
  statusRow->addWidget(AddLabel(Control::Label7, panel1_), 1);
  statusRow->addWidget(AddLabel(Control::Label10, panel1_));
  auto* waitTime = Register(Control::ComboBoxwWait, new QComboBox(panel1_));
  waitTime->setEditable(true);
  waitTime->setInsertPolicy(QComboBox::NoInsert);
  connect(waitTime, &QComboBox::editTextChanged, this, [this](const QString& text) {
    if (form_) RunGuarded([&] { form_->SetTextByUser(Control::ComboBoxwWait, ToStdString(text)); });
  });
  statusRow->addWidget(waitTime);
  statusRow->addWidget(AddLabel(Control::Label8, panel1_));

  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addLayout(statusRow);
  texts->addWidget(AddLabel(Control::Label1, panel1_));

  auto* panel2 = new QFrame(panel1_);
  panel2->setObjectName(QStringLiteral("Panel2"));
  panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel2->setFixedSize(FileCopyAnimation::kWidth + 8, FileCopyAnimation::kHeight + 4);
  animate1_ = Register(Control::Animate1, new FileCopyAnimation(panel2));
  auto* panel2Layout = new QHBoxLayout(panel2);
  panel2Layout->setContentsMargins(2, 2, 2, 2);
  panel2Layout->addWidget(animate1_, 0, Qt::AlignCenter);

  auto* top = new QHBoxLayout;
  top->setContentsMargins(8, 2, 4, 2);
  top->addLayout(texts, 1);
  top->addWidget(panel2);

  progressBar1_ = Register(Control::ProgressBar1, new QProgressBar(panel1_));
  progressBar1_->setTextVisible(false);
  progressBar1_->setFixedHeight(16);

  auto* layout = new QVBoxLayout(panel1_);
  layout->setContentsMargins(1, 1, 1, 1);
  layout->setSpacing(0);
  layout->addLayout(top, 1);
  layout->addWidget(progressBar1_);
}

void TFVantroUpdate::ApplyFonts() {
  const QStringList chinese = TraditionalChineseFamilies();
  const QString sansSerif = QStringLiteral("MS Sans Serif");
  // A Chinese window shows its own captions in a Traditional Chinese font.
  if (fontLanguage_ == Language::Chinese) {
    setFont(DesignedFont(chinese.front(), chinese.mid(1) + QStringList{InstalledFamily(sansSerif, QFont::SansSerif)},
                         kWindowFontPixels, QFont::SansSerif));
  } else {
    setFont(DesignedFont(sansSerif, chinese, kWindowFontPixels, QFont::SansSerif));
  }

  const QString times = QStringLiteral("Times New Roman");
  static_cast<QWidget*>(controls_[Index(Control::LaTitle)])->setFont(DesignedFont(times, chinese, 24, QFont::Serif));
  for (Control label : {Control::Label_Percent, Control::LabelTimeout, Control::Label7, Control::Label1}) {
    static_cast<QWidget*>(controls_[Index(label)])->setFont(DesignedFont(times, chinese, 15, QFont::Serif));
  }

  // "細明體" where it is installed, else the closest Traditional Chinese font.
  const QStringList ming = QStringList{QStringLiteral("細明體"), QStringLiteral("PMingLiU")} + chinese;
  QFont header;
  header.setFamilies(ming);
  header.setPixelSize(19);
  static_cast<QWidget*>(controls_[Index(Control::Label12)])->setFont(header);
  header.setPixelSize(16);
  for (Control label : {Control::Label10, Control::Label8})
    static_cast<QWidget*>(controls_[Index(label)])->setFont(header);

  QFont memoFont = DesignedFont(QStringLiteral("Courier"), chinese, 16, QFont::TypeWriter);
  memoFont.setPointSize(form_ ? form_->Controls().MemoFontPoints() : 12);
  memo_->setFont(memoFont);
}

// ---- showing the form's state --------------------------------------------

void TFVantroUpdate::LayOutPanels() {
  const int statusTop = std::max(kCommandPanelHeight, height() - kStatusPanelHeight);
  panel3_->setGeometry(0, 0, width(), kCommandPanelHeight);
  panel8_->setGeometry(0, kCommandPanelHeight, width(), statusTop - kCommandPanelHeight);
  panel1_->setGeometry(0, statusTop, width(), kStatusPanelHeight);
}

void TFVantroUpdate::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOutPanels();
}

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
  widget->setEnabled(state.enabled);
  widget->setVisible(state.visible);
  if (control == Control::Animate1) animate1_->SetRunning(state.checked);
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
    ShowItems(combo, control == Control::ComboBox1 ? form_->Controls().PortItems() : form_->Controls().WaitItems());
    if (combo->currentText() != caption) combo->setEditText(caption);
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

void TFVantroUpdate::MessagePanelToggled(bool shown) {
  LayOutPanels();
  if (shown) {
    panel8_->show();
    resize(width(), height() + UpdaterForm::kMessagePanelGrowth);
  } else {
    const int panelHeight = panel8_->height();
    panel8_->hide();
    resize(width(), std::max(minimumHeight(), height() - panelHeight));
  }
  LayOutPanels();
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
  if (dialogAnswers.showMessage) return dialogAnswers.showMessage(text);
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle), ToQString(text), QMessageBox::Ok,
                  DialogParent(this));
  box.exec();
}

bool TFVantroUpdate::Confirm(std::string_view text, ConfirmButtons buttons) {
  if (dialogAnswers.confirm) return dialogAnswers.confirm(text, buttons);
  const QMessageBox::StandardButtons choices = buttons == ConfirmButtons::YesCancel
                                                   ? QMessageBox::Yes | QMessageBox::Cancel
                                                   : QMessageBox::Yes | QMessageBox::No;
  return QMessageBox::question(DialogParent(this), QString::fromUtf8(kApplicationTitle), ToQString(text), choices,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<std::string> TFVantroUpdate::ChooseFile(std::string_view filter) {
  if (dialogAnswers.chooseFile) return dialogAnswers.chooseFile(filter);
  QFileDialog dialog(DialogParent(this));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name of a missing file is accepted too
  // The filters show their names only; their patterns match without regard to case.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const QStringList filters = QtFileFilter(filter).split(QStringLiteral(";;"), Qt::SkipEmptyParts);
  dialog.setNameFilters(filters);
  if (!filters.isEmpty()) dialog.selectNameFilter(filters.front());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return ToStdString(QDir::toNativeSeparators(dialog.selectedFiles().front()));
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
    ShowMessage(error.what());
  }
}

}  // namespace mx
