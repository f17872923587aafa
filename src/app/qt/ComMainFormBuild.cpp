// Building the window from the form's layout description: the panels, one
// widget for each control, the fonts, the placement, the Tab order and the
// window's size on its screen.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QToolButton>
#include <algorithm>

#include "app/form/FormLayout.h"
#include "app/qt/ComMainForm.h"
#include "app/qt/FileCopyAnimation.h"
#include "app/qt/QtTranslations.h"
#include "app/qt/ViewText.h"

namespace mx {
namespace {

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

QColor ToQColor(Colour colour) { return QColor(colour.red, colour.green, colour.blue); }

// A flat button that the keyboard presses too: Return and Enter click it as
// the space bar does. Shift+F10 asks for its context menu as the Menu key
// does (Qt turns only the Menu key into that request), so a keyboard without
// a Menu key reaches Connect's menu too.
class FlatButton final : public QToolButton {
 public:
  using QToolButton::QToolButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && modifiers == Qt::NoModifier) {
      click();
      return;
    }
    if (event->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier) {
      QContextMenuEvent request(QContextMenuEvent::Keyboard, rect().bottomLeft(), mapToGlobal(rect().bottomLeft()));
      QCoreApplication::sendEvent(this, &request);
      return;
    }
    QToolButton::keyPressEvent(event);
  }
};

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

// The Qt font for a described one; a Chinese window shows its captions in a
// Traditional Chinese font first.
QFont ToQFont(const FontStyle& style, Language language) {
  const QStringList chinese = TraditionalChineseFamilies();
  QFont font;
  switch (style.family) {
    case FontFamily::SansSerif: {
      const QString sansSerif = QStringLiteral("MS Sans Serif");
      if (language == Language::Chinese || style.chineseCharset) {
        font = DesignedFont(chinese.front(), chinese.mid(1) + QStringList{InstalledFamily(sansSerif, QFont::SansSerif)},
                            style.pixels, QFont::SansSerif);
      } else {
        font = DesignedFont(sansSerif, chinese, style.pixels, QFont::SansSerif);
      }
      break;
    }
    case FontFamily::Times:
      font = DesignedFont(QStringLiteral("Times New Roman"), chinese, style.pixels, QFont::Serif);
      break;
    case FontFamily::Ming:
      // "細明體" where it is installed, else the closest Traditional Chinese font.
      font.setFamilies(QStringList{QStringLiteral("細明體"), QStringLiteral("PMingLiU")} + chinese);
      font.setPixelSize(style.pixels);
      break;
    case FontFamily::Courier:
      font = DesignedFont(QStringLiteral("Courier"), chinese, style.pixels, QFont::TypeWriter);
      break;
  }
  if (style.points > 0) font.setPointSize(style.points);
  return font;
}

QFrame* MakePanel(QWidget* parent, const QString& name, std::optional<Colour> colour, QFrame::Shadow shadow) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setFrameStyle(QFrame::Panel | shadow);
  if (colour) {
    panel->setAutoFillBackground(true);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, ToQColor(*colour));
    panel->setPalette(palette);
  }
  return panel;
}

void SetColours(QWidget* widget, const ControlLayout& look, QPalette::ColorRole textRole,
                QPalette::ColorRole backgroundRole) {
  QPalette palette = widget->palette();
  if (look.text) palette.setColor(textRole, ToQColor(*look.text));
  if (look.background) {
    palette.setColor(backgroundRole, ToQColor(*look.background));
    if (backgroundRole == QPalette::Base) palette.setColor(QPalette::Button, ToQColor(*look.background));
    widget->setAutoFillBackground(true);
  }
  widget->setPalette(palette);
}

}  // namespace

TFVantroUpdate::TFVantroUpdate(EventLoop& loop, FormServices services, const ViewInFront& viewInFront, QWidget* parent)
    : QWidget(parent) {
  static_assert(layout::kDesignedWidth == UpdaterForm::kDesignedWidth &&
                layout::kDesignedHeight == UpdaterForm::kDesignedHeight &&
                layout::kMessagePanelGrowth == UpdaterForm::kMessagePanelGrowth);
  setObjectName(QStringLiteral("FVantroUpdate"));
  Register(Control::Window, static_cast<QWidget*>(this));
  SetColours(this, LayoutOf(Control::Window), QPalette::WindowText, QPalette::Window);
  panel3_ = MakePanel(this, QStringLiteral("Panel3"), kMoneyGreen, QFrame::Raised);
  panel8_ = Register(Control::Panel8, MakePanel(this, QString(), LayoutOf(Control::Panel8).background, QFrame::Raised));
  panel4_ = MakePanel(panel8_, QStringLiteral("Panel4"), std::nullopt, QFrame::Plain);
  panel4_->setFrameStyle(QFrame::NoFrame);
  panel1_ = MakePanel(this, QStringLiteral("Panel1"), kMoneyGreen, QFrame::Raised);
  panel2_ = MakePanel(panel1_, QStringLiteral("Panel2"), std::nullopt, QFrame::Sunken);
  popupMenu1_ = new QMenu(this);
  popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
  for (const ControlLayout& look : WindowLayout()) BuildControl(look);
  BuildPopupMenu(static_cast<QToolButton*>(controls_[Index(Control::Button_Open)]));
  ApplyFonts();
  SetTabOrder();
  const QSize frame = FrameSize();
  ResizeOnScreen(layout::kDesignedWidth - frame.width(), layout::kDesignedHeight - frame.height());
  LayOutPanels();
  // The form may report changes while it is being built; they are shown
  // all together once it exists.
  if (viewInFront) formView_ = &viewInFront(*this);
  form_ = std::make_unique<UpdaterForm>(loop, *formView_, std::move(services));
  ApplyAll();
}

TFVantroUpdate::~TFVantroUpdate() {
  // The form goes first, while the widgets it may still report to exist;
  // form_ is empty by then, so nothing reads a form being destroyed.
  std::unique_ptr<UpdaterForm> form = std::move(form_);
  form.reset();
}

// ---- one widget per control ----------------------------------------------

template <class Widget>
Widget* TFVantroUpdate::Register(Control control, Widget* object) {
  if (control != Control::Window) {
    const std::string_view name = ControlName(control);
    object->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
  }
  controls_[Index(control)] = object;
  return object;
}

QWidget* TFVantroUpdate::PanelWidget(const ControlLayout& look) {
  if (look.control == Control::Animate1) return panel2_;
  switch (look.panel) {
    case Panel::Command:
      return panel3_;
    case Panel::Message:
      return panel4_;
    case Panel::Status:
      return panel1_;
    case Panel::None:
    case Panel::Menu:
      break;
  }
  return this;
}

void TFVantroUpdate::BuildControl(const ControlLayout& look) {
  QWidget* parent = PanelWidget(look);
  const Control control = look.control;
  switch (look.kind) {
    case ControlKind::Window:
    case ControlKind::Panel:
      return;  // built above
    case ControlKind::MenuEntry:
      AddMenuEntry(control);
      return;
    case ControlKind::Label:
      AddLabel(look, parent);
      return;
    case ControlKind::CheckBox:
      AddCheckBox(control, parent);
      return;
    case ControlKind::FlatButton:
      AddButton(control, parent);
      return;
    case ControlKind::PortComboBox:
    case ControlKind::WaitComboBox:
      AddComboBox(look, parent);
      return;
    case ControlKind::CharacterEdit:
      AddCharacterEdit(control, parent);
      return;
    case ControlKind::Memo:
      AddMemo(look, parent);
      return;
    case ControlKind::ProgressBar:
      progressBar1_ = Register(control, new QProgressBar(parent));
      progressBar1_->setTextVisible(false);
      return;
    case ControlKind::Animation:
      animate1_ = Register(control, new FileCopyAnimation(parent));
      return;
  }
}

QToolButton* TFVantroUpdate::AddButton(Control control, QWidget* parent) {
  auto* button = Register(control, static_cast<QToolButton*>(new FlatButton(parent)));
  button->setAutoRaise(true);  // flat
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setFocusPolicy(Qt::StrongFocus);
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

QLabel* TFVantroUpdate::AddLabel(const ControlLayout& look, QWidget* parent) {
  auto* label = Register(look.control, new QLabel(parent));
  label->setTextFormat(Qt::PlainText);
  if (look.align == TextAlign::Centre) label->setAlignment(Qt::AlignCenter);
  if (look.control == Control::Label11) label->setWordWrap(true);
  if (look.control == Control::Label12) label->setIndent(4);
  SetColours(label, look, QPalette::WindowText, QPalette::Window);
  return label;
}

QLineEdit* TFVantroUpdate::AddCharacterEdit(Control control, QWidget* parent) {
  auto* edit = Register(control, new QLineEdit(parent));
  connect(edit, &QLineEdit::textEdited, this, [this, control](const QString& text) {
    if (form_) RunGuarded([&] { form_->SetTextByUser(control, ToStdString(text)); });
  });
  return edit;
}

void TFVantroUpdate::AddComboBox(const ControlLayout& look, QWidget* parent) {
  auto* box = Register(look.control, new QComboBox(parent));
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  SetColours(box, look, QPalette::Text, QPalette::Base);
  if (look.kind == ControlKind::PortComboBox) comboBox1_ = box;
  const Control control = look.control;
  connect(box, &QComboBox::editTextChanged, this, [this, control](const QString& text) {
    if (!form_) return;
    const std::string meant =
        control == Control::ComboBox1 ? PortFromShownName(text, form_->Controls().PortItems()) : ToStdString(text);
    RunGuarded([&] { form_->SetTextByUser(control, meant); });
  });
}

void TFVantroUpdate::AddMemo(const ControlLayout& look, QWidget* parent) {
  memo_ = Register(look.control, new QPlainTextEdit(parent));
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setTabChangesFocus(true);  // Tab walks the window, as in every other control
  SetColours(memo_, look, QPalette::Text, QPalette::Base);
  QPalette palette = memo_->palette();
  // The selection stays visible when the memo loses the focus.
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
  }
  memo_->setPalette(palette);
  connect(memo_, &QPlainTextEdit::textChanged, this, [this] {
    if (form_) RunGuarded([&] { form_->SetMemoTextByUser(MemoFormText(memo_->toPlainText())); });
  });
}

void TFVantroUpdate::AddMenuEntry(Control entry) {
  QAction* action = Register(entry, popupMenu1_->addAction(QString()));
  connect(action, &QAction::triggered, this, [this, entry] {
    if (form_) RunGuarded([&] { form_->Click(entry); });
  });
}

void TFVantroUpdate::BuildPopupMenu(QToolButton* button) {
  // The menu opens from the button's arrow, with a right click (at the
  // pointer) and with the Menu key or Shift+F10 (below the button).
  button->setMenu(popupMenu1_);
  button->setPopupMode(QToolButton::MenuButtonPopup);
  button->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(button, &QWidget::customContextMenuRequested, this,
          [this, button](const QPoint& at) { popupMenu1_->popup(button->mapToGlobal(at)); });
}

void TFVantroUpdate::ApplyFonts() {
  const Language language = fontLanguage_;
  setFont(ToQFont(layout::kWindowFont, language));
  for (const ControlLayout& look : WindowLayout()) {
    if (look.kind == ControlKind::MenuEntry || look.kind == ControlKind::Window || look.kind == ControlKind::Panel)
      continue;
    const bool ownFont = look.font.family != layout::kWindowFont.family ||
                         look.font.pixels != layout::kWindowFont.pixels || look.font.points != 0 ||
                         look.font.chineseCharset;
    if (!ownFont) continue;
    QFont font = ToQFont(look.font, language);
    if (look.control == Control::Memo && form_) font.setPointSize(form_->Controls().MemoFontPoints());
    static_cast<QWidget*>(controls_[Index(look.control)])->setFont(font);
  }
  for (const ControlLayout& look : WindowLayout()) NoteTextWidth(look.control);
  UseQtTranslations(language);
}

void TFVantroUpdate::SetTabOrder() {
  QWidget* previous = nullptr;
  for (Control control : TabOrder()) {
    auto* widget = static_cast<QWidget*>(controls_[Index(control)]);
    if (previous != nullptr) setTabOrder(previous, widget);
    previous = widget;
  }
}

// ---- placement -------------------------------------------------------------

namespace {

QRect ToQRect(const Rect& rect) { return {rect.left, rect.top, rect.width, rect.height}; }

}  // namespace

void TFVantroUpdate::LayOutPanels() {
  const int w = width();
  const Placements placed = PlacePanelControls(w, [this](Control control) { return textWidths_[Index(control)]; });
  panel3_->setGeometry(ToQRect(CommandPanelRect(w)));
  panel8_->setGeometry(ToQRect(MessagePanelRect(w, height())));
  panel1_->setGeometry(ToQRect(StatusPanelRect(w, height())));
  const Rect header = MessageHeaderRect(w);
  const Rect memo = MemoRect(w, height());
  panel4_->setGeometry(header.left, header.top, header.width, memo.Bottom() - header.top);
  for (const ControlLayout& look : WindowLayout()) {
    if (look.panel != Panel::Command && look.panel != Panel::Status) continue;
    QRect place = ToQRect(placed[Index(look.control)]);
    if (look.control == Control::Animate1) {
      panel2_->setGeometry(place.adjusted(-4, -2, 4, 2));
      place.moveTo(4, 2);
    }
    static_cast<QWidget*>(controls_[Index(look.control)])->setGeometry(place);
  }
  static_cast<QWidget*>(controls_[Index(Control::Label12)])->setGeometry(0, 0, header.width, header.height);
  memo_->setGeometry(0, header.height, memo.width, memo.height);
}

void TFVantroUpdate::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOutPanels();
}

void TFVantroUpdate::NoteTextWidth(Control control) {
  const ControlLayout& look = LayoutOf(control);
  if (!GrowsToItsText(look)) return;
  const auto* widget = static_cast<QWidget*>(controls_[Index(control)]);
  const int needed = widget->isHidden() ? 0 : widget->sizeHint().width();
  int& known = textWidths_[Index(control)];
  if (needed == known) return;
  const bool moves = std::max(needed, look.place.width) != std::max(known, look.place.width);
  known = needed;
  if (moves) LayOutPanels();
}

QSize TFVantroUpdate::FrameSize() const {
  const QSize frame = frameGeometry().size() - geometry().size();
  if (isVisible() && (frame.width() > 0 || frame.height() > 0)) return frame;
  return {16, 40};
}

void TFVantroUpdate::ResizeOnScreen(int clientWidth, int clientHeight) {
  const QSize frame = FrameSize();
  QSize room(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  if (const QScreen* screen = this->screen()) room = screen->availableGeometry().size();
  const Size minimum = MinimumOuterSize({frame.width(), frame.height()});
  const Size outer =
      FitOnScreen({clientWidth + frame.width(), clientHeight + frame.height()}, {room.width(), room.height()}, minimum);
  // On a small screen the minimum gives way too, so the window fits.
  setMinimumSize(std::min(minimum.width, outer.width) - frame.width(),
                 std::min(minimum.height, outer.height) - frame.height());
  resize(outer.width - frame.width(), outer.height - frame.height());
  KeepOnScreen();
}

void TFVantroUpdate::KeepOnScreen() {
  const QScreen* screen = this->screen();
  if (!isVisible() || screen == nullptr) return;
  const QRect room = screen->availableGeometry();
  const QRect frame = frameGeometry();
  if (frame.bottom() > room.bottom()) move(frame.left(), std::max(room.top(), room.bottom() + 1 - frame.height()));
}

void TFVantroUpdate::ShowCentred() {
  const QSize assumed = FrameSize();
  ResizeOnScreen(width(), height());
  show();
  // Where the frame is known only once the window is shown, the outer size
  // stays; without the message panel the client area holds the other two.
  const QSize frame = FrameSize();
  if (frame != assumed) {
    const int panels = layout::kCommandPanelHeight + layout::kStatusPanelHeight;
    ResizeOnScreen(width() + assumed.width() - frame.width(),
                   panel8_->isHidden() ? panels : height() + assumed.height() - frame.height());
  }
  if (const QScreen* screen = this->screen()) {
    QRect outer = frameGeometry();
    outer.moveCenter(screen->availableGeometry().center());
    move(outer.topLeft().x(), std::max(screen->availableGeometry().top(), outer.top()));
  }
  static_cast<QWidget*>(controls_[Index(kInitialFocus)])->setFocus(Qt::OtherFocusReason);
}

void TFVantroUpdate::MessagePanelToggled(bool shown) {
  if (shown) {
    panel8_->show();
    ResizeOnScreen(width(), height() + layout::kMessagePanelGrowth);
  } else {
    const int panelHeight = panel8_->height();
    panel8_->hide();
    ResizeOnScreen(width(), height() - panelHeight);
  }
  LayOutPanels();
}

}  // namespace mx
