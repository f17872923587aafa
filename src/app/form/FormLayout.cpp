#include "app/form/FormLayout.h"

#include <algorithm>
#include <cstddef>

namespace mx {
namespace {

using layout::kCommandPanelHeight;
using layout::kStatusPanelHeight;

constexpr FontStyle kWindowFont = layout::kWindowFont;
constexpr FontStyle kChineseLabelFont{FontFamily::SansSerif, 12, 0, true};
constexpr FontStyle kTitleFont{FontFamily::Times, 24};
constexpr FontStyle kStatusFont{FontFamily::Times, 15};
constexpr FontStyle kHeaderFont{FontFamily::Ming, 19, 0, true};
constexpr FontStyle kWaitCaptionFont{FontFamily::Ming, 16, 0, true};
constexpr FontStyle kMemoFont{FontFamily::Courier, 16, 12};

constexpr Placement At(int left, int top, int width, int height) { return {left, top, width, height}; }
// Keeps `rightGap` to the panel's right edge.
constexpr Placement FromRight(int rightGap, int top, int width, int height) {
  return {0, top, width, height, true, false, rightGap};
}
// From `left` to `rightGap` before the panel's right edge.
constexpr Placement Stretched(int left, int top, int rightGap, int height) {
  return {left, top, 0, height, false, true, rightGap};
}

// Positions are the window's, in pixels at 96 dpi; the rows are placed so
// that at the minimum width (650) no shown control overlaps another.
constexpr ControlLayout kLayout[] = {
    {Control::Window, ControlKind::Window, Panel::None, {}, kWindowFont, {}, kMoneyGreen},
    // command panel: the options, the title and Help on top ...
    {Control::LaTitle,
     ControlKind::Label,
     Panel::Command,
     Stretched(146, 4, 146, 36),
     kTitleFont,
     {},
     {},
     TextAlign::Centre},
    {Control::CBShowmag, ControlKind::CheckBox, Panel::Command, At(8, 6, 130, 18), kWindowFont},
    {Control::TestData_CB, ControlKind::CheckBox, Panel::Command, At(8, 26, 130, 18), kWindowFont},
    // ... the buttons, the port and the status line below
    {Control::Button_Open, ControlKind::FlatButton, Panel::Command, At(8, 50, 92, 26), kWindowFont},
    {Control::BtnFileOpen, ControlKind::FlatButton, Panel::Command, At(104, 50, 80, 26), kWindowFont},
    {Control::BtnRestore, ControlKind::FlatButton, Panel::Command, At(188, 50, 80, 26), kWindowFont},
    {Control::BtnClearMemo, ControlKind::FlatButton, Panel::Command, At(272, 50, 80, 26), kWindowFont},
    {Control::Button_Send, ControlKind::FlatButton, Panel::Command, At(104, 50, 80, 26), kWindowFont},
    {Control::BtnErase, ControlKind::FlatButton, Panel::Command, At(188, 50, 80, 26), kWindowFont},
    {Control::Label11,
     ControlKind::Label,
     Panel::Command,
     Stretched(632, 44, 8, 34),
     kChineseLabelFont,
     kRed,
     {},
     TextAlign::Centre},
    {Control::Portlb, ControlKind::Label, Panel::Command, At(358, 55, 32, 18), kWindowFont},
    {Control::ComboBox1, ControlKind::PortComboBox, Panel::Command, At(392, 52, 100, 22), kWindowFont, {}, kMoneyGreen},
    {Control::cbAuto_select, ControlKind::CheckBox, Panel::Command, At(498, 54, 130, 18), kWindowFont},
    {Control::BtnHelp, ControlKind::FlatButton, Panel::Command, FromRight(8, 8, 84, 26), kWindowFont},
    {Control::Set_Bootloader, ControlKind::FlatButton, Panel::Command, At(272, 50, 80, 26), kWindowFont},
    // the serial characters, hidden, where the status line is
    {Control::EditXoff, ControlKind::CharacterEdit, Panel::Command, At(690, 52, 20, 20), kWindowFont},
    {Control::EditXon, ControlKind::CharacterEdit, Panel::Command, At(790, 52, 20, 20), kWindowFont},
    {Control::Label3, ControlKind::Label, Panel::Command, At(640, 54, 48, 16), kWindowFont},
    {Control::Label4, ControlKind::Label, Panel::Command, At(740, 54, 48, 16), kWindowFont},
    {Control::Label5, ControlKind::Label, Panel::Command, At(712, 54, 24, 16), kWindowFont},
    {Control::Label6, ControlKind::Label, Panel::Command, At(812, 54, 24, 16), kWindowFont},
    // message panel
    {Control::Panel8, ControlKind::Panel, Panel::Message, {}, kWindowFont, {}, kFuchsia},
    {Control::Label12, ControlKind::Label, Panel::Message, {}, kHeaderFont, {}, kOlive},
    {Control::Memo, ControlKind::Memo, Panel::Message, {}, kMemoFont, kYellow, kTeal},
    // status panel: the status texts, the wait time (hidden), the animation
    // on the right and the progress bar along the bottom
    {Control::Label10, ControlKind::Label, Panel::Status, FromRight(196, 32, 90, 20), kWaitCaptionFont},
    {Control::Label8, ControlKind::Label, Panel::Status, FromRight(100, 32, 36, 20), kWaitCaptionFont},
    {Control::ComboBoxwWait, ControlKind::WaitComboBox, Panel::Status, FromRight(140, 30, 52, 22), kWindowFont},
    {Control::Label_Percent, ControlKind::Label, Panel::Status, At(8, 6, 50, 20), kStatusFont},
    {Control::LabelTimeout, ControlKind::Label, Panel::Status, At(60, 6, 140, 20), kStatusFont},
    {Control::Label7, ControlKind::Label, Panel::Status, Stretched(204, 6, 100, 20), kStatusFont},
    {Control::Label1, ControlKind::Label, Panel::Status, Stretched(8, 32, 100, 20), kStatusFont},
    {Control::ProgressBar1, ControlKind::ProgressBar, Panel::Status, Stretched(1, 66, 1, 16), kWindowFont},
    {Control::Animate1, ControlKind::Animation, Panel::Status,
     FromRight(10, 8, layout::kAnimationWidth, layout::kAnimationHeight), kWindowFont},
    // pop-up menu of Button_Open
    {Control::SetBootloader1, ControlKind::MenuEntry, Panel::Menu, {}, kWindowFont},
    {Control::DisConnect1, ControlKind::MenuEntry, Panel::Menu, {}, kWindowFont},
    {Control::Restore1, ControlKind::MenuEntry, Panel::Menu, {}, kWindowFont},
};
static_assert(std::size(kLayout) == static_cast<std::size_t>(Control::Count));

constexpr Control kTabOrder[] = {
    Control::CBShowmag,    Control::TestData_CB,    Control::BtnHelp,    Control::Button_Open,
    Control::BtnFileOpen,  Control::Button_Send,    Control::BtnRestore, Control::BtnErase,
    Control::BtnClearMemo, Control::Set_Bootloader, Control::ComboBox1,  Control::cbAuto_select,
    Control::EditXoff,     Control::EditXon,        Control::Memo,       Control::ComboBoxwWait,
};

constexpr bool InDesignedOrder() {
  for (std::size_t i = 0; i < std::size(kLayout); ++i) {
    if (kLayout[i].control != static_cast<Control>(i)) return false;
  }
  return true;
}
static_assert(InDesignedOrder(), "kLayout lists the controls in the order of the Control enum");

}  // namespace

std::span<const ControlLayout> WindowLayout() { return kLayout; }

const ControlLayout& LayoutOf(Control control) { return kLayout[static_cast<std::size_t>(control)]; }

Rect PlaceInPanel(const ControlLayout& control, int windowWidth) {
  const Placement& place = control.place;
  if (place.stretch)
    return {place.left, place.top, std::max(0, windowWidth - place.rightGap - place.left), place.height};
  if (place.anchorRight) return {windowWidth - place.rightGap - place.width, place.top, place.width, place.height};
  return {place.left, place.top, place.width, place.height};
}

Rect CommandPanelRect(int windowWidth) { return {0, 0, windowWidth, kCommandPanelHeight}; }

Rect StatusPanelRect(int windowWidth, int windowHeight) {
  return {0, std::max(kCommandPanelHeight, windowHeight - kStatusPanelHeight), windowWidth, kStatusPanelHeight};
}

Rect MessagePanelRect(int windowWidth, int windowHeight) {
  const int bottom = StatusPanelRect(windowWidth, windowHeight).top;
  return {0, kCommandPanelHeight, windowWidth, bottom - kCommandPanelHeight};
}

Rect MessageHeaderRect(int windowWidth) {
  constexpr int margin = layout::kMessagePanelMargin;
  return {margin, margin, std::max(0, windowWidth - 2 * margin), layout::kMessageHeaderHeight};
}

Rect MemoRect(int windowWidth, int windowHeight) {
  constexpr int margin = layout::kMessagePanelMargin;
  const Rect header = MessageHeaderRect(windowWidth);
  const int panelHeight = MessagePanelRect(windowWidth, windowHeight).height;
  return {margin, header.Bottom(), header.width, std::max(0, panelHeight - margin - header.Bottom())};
}

bool GrowsToItsText(const ControlLayout& control) {
  const bool fixedWidth = !control.place.stretch && !control.place.anchorRight;
  const bool inPanel = control.panel == Panel::Command || control.panel == Panel::Status;
  const bool leftLabel = control.kind == ControlKind::Label && control.align == TextAlign::Left;
  return fixedWidth && inPanel && (leftLabel || control.kind == ControlKind::CheckBox);
}

namespace {

constexpr int kNeighbourGap = 4;

bool InSameRow(const Rect& a, const Rect& b) { return a.top < b.Bottom() && b.top < a.Bottom(); }

// A stretched control gives way to the grown controls on its left in its row.
void GiveWay(const ControlLayout& stretched, Placements& at) {
  Rect& place = at[static_cast<std::size_t>(stretched.control)];
  for (const ControlLayout& other : kLayout) {
    if (other.panel != stretched.panel || !GrowsToItsText(other)) continue;
    const Rect& grown = at[static_cast<std::size_t>(other.control)];
    const bool onTheLeft = other.place.left + other.place.width <= stretched.place.left;
    if (!onTheLeft || !InSameRow(grown, place) || grown.Right() + kNeighbourGap <= place.left) continue;
    const int right = place.Right();
    place.left = grown.Right() + kNeighbourGap;
    place.width = std::max(0, right - place.left);
  }
}

}  // namespace

Placements PlacePanelControls(int windowWidth, const TextWidth& textWidth) {
  Placements at{};
  for (const ControlLayout& look : kLayout) {
    if (look.panel != Panel::Command && look.panel != Panel::Status) continue;
    Rect& place = at[static_cast<std::size_t>(look.control)] = PlaceInPanel(look, windowWidth);
    if (GrowsToItsText(look)) place.width = std::max(place.width, textWidth(look.control));
  }
  for (const ControlLayout& look : kLayout) {
    if (look.place.stretch && (look.panel == Panel::Command || look.panel == Panel::Status)) GiveWay(look, at);
  }
  return at;
}

std::span<const Control> TabOrder() { return kTabOrder; }

std::span<const char* const> HelpLines() {
  static constexpr const char* kLines[] = {
      "Mx7410 updater project",
      "Firmware updater for the Mx7410 serial bootloader",
      "Support: see the project README",
      "Release: 2012.11",
      "Mx7410 Bootloader System(New)",
      "",
      " ",
  };
  return kLines;
}

Size FitOnScreen(Size wanted, Size available, Size minimum) {
  auto fit = [](int want, int least, int room) { return std::min(std::max(want, least), room); };
  return {fit(wanted.width, minimum.width, available.width), fit(wanted.height, minimum.height, available.height)};
}

Size MinimumOuterSize(Size frame) {
  return {layout::kMinimumWidth,
          std::min(layout::kMinimumHeight, kCommandPanelHeight + kStatusPanelHeight + frame.height)};
}

}  // namespace mx
