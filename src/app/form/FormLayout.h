#pragma once

// The window's look, without a toolkit: each control's kind, the panel that
// holds it, where it sits, its colours and its font, the panels' heights and
// the order of the Tab key. The Qt and the Win32 window both build from this
// description, so that the two cannot drift apart.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "app/form/FormView.h"

namespace mx {

enum class ControlKind {
  Window,
  Label,
  CheckBox,
  FlatButton,     // BtnHelp, Update, ...; Button_Open also opens the pop-up menu
  PortComboBox,   // editable drop-down list of port names
  WaitComboBox,   // drop-down list "1".."5"
  CharacterEdit,  // one-character edit field
  Panel,
  Memo,
  ProgressBar,
  Animation,  // the platform's file-copy clip
  MenuEntry,  // entry of the pop-up menu of Button_Open
};

enum class Panel {
  None,     // the window itself, the menu entries
  Command,  // Panel3, top
  Message,  // Panel8, between the others (Panel4 with header and memo)
  Status,   // Panel1, bottom
  Menu,     // PopupMenu1
};

struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};

inline constexpr Colour kMoneyGreen{0xC0, 0xDC, 0xC0};
inline constexpr Colour kFuchsia{0xFF, 0x00, 0xFF};
inline constexpr Colour kOlive{0x80, 0x80, 0x00};
inline constexpr Colour kTeal{0x00, 0x80, 0x80};
inline constexpr Colour kYellow{0xFF, 0xFF, 0x00};
inline constexpr Colour kRed{0xFF, 0x00, 0x00};
inline constexpr Colour kBlue{0x00, 0x00, 0xFF};

enum class FontFamily {
  SansSerif,  // "MS Sans Serif", the window's default
  Times,      // "Times New Roman"
  Ming,       // "細明體" (PMingLiU), with the Chinese character set
  Courier,
};

struct FontStyle {
  FontFamily family = FontFamily::SansSerif;
  int pixels = 12;  // character height in pixels at 96 dpi
  int points = 0;   // when set, the size in points instead (the memo)
  bool chineseCharset = false;
};

enum class TextAlign { Left, Centre };

// Placement inside the control's panel. `left`/`top` count from the panel's
// top left corner; with `anchorRight` the control keeps its distance to the
// panel's right edge instead, and with `stretch` its left edge stays and its
// right edge keeps `rightGap` to the panel's right edge.
struct Placement {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool anchorRight = false;
  bool stretch = false;
  int rightGap = 0;
};

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int Right() const { return left + width; }
  int Bottom() const { return top + height; }
  bool Overlaps(const Rect& other) const {
    return width > 0 && height > 0 && other.width > 0 && other.height > 0 && left < other.Right() &&
           other.left < Right() && top < other.Bottom() && other.top < Bottom();
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct ControlLayout {
  Control control = Control::Window;
  ControlKind kind = ControlKind::Label;
  Panel panel = Panel::None;
  Placement place{};
  FontStyle font{};
  std::optional<Colour> text{};
  std::optional<Colour> background{};
  TextAlign align = TextAlign::Left;
};

namespace layout {

inline constexpr int kDesignedWidth = 907;
inline constexpr int kDesignedHeight = 223;
inline constexpr int kMinimumWidth = 650;
inline constexpr int kMinimumHeight = 190;
inline constexpr int kCommandPanelHeight = 81;  // Panel3
inline constexpr int kStatusPanelHeight = 83;   // Panel1
inline constexpr int kMessagePanelGrowth = 400;
inline constexpr int kMessagePanelMargin = 4;    // around Panel4
inline constexpr int kMessageHeaderHeight = 24;  // Label12
inline constexpr int kAnimationWidth = 80;
inline constexpr int kAnimationHeight = 50;  // at most 50 pixels high
inline constexpr FontStyle kWindowFont{FontFamily::SansSerif, 12};
inline constexpr FontStyle kHelpFont{FontFamily::SansSerif, 16};
inline constexpr int kHelpWidth = 566;
inline constexpr int kHelpHeight = 470;

}  // namespace layout

// Every control of the window with its look, in the designed order.
std::span<const ControlLayout> WindowLayout();
// The layout of one control.
const ControlLayout& LayoutOf(Control control);

// Where `control` sits inside its panel when the window's client area is
// `windowWidth` pixels wide. Panel8 and the memo fill what is left between
// the panels; see MessagePanelRect and MemoRect.
Rect PlaceInPanel(const ControlLayout& control, int windowWidth);

// Whether `control` grows to its text: the check boxes and the left-aligned
// labels of fixed width, whose text a font wider than the designed one
// would cut.
bool GrowsToItsText(const ControlLayout& control);

// Where every control of the command and status panels sits inside its
// panel, as PlaceInPanel has it, except that a control that grows to its
// text is at least `textWidth(control)` wide (0: nothing to show), and a
// stretched control in the same row starts after such a neighbour on its
// left instead of under it. The other controls' rectangles are empty.
using TextWidth = std::function<int(Control)>;
using Placements = std::array<Rect, static_cast<std::size_t>(Control::Count)>;
Placements PlacePanelControls(int windowWidth, const TextWidth& textWidth);

// The panels' rectangles in the client area of `windowWidth` x
// `windowHeight`; the message panel takes what the other two leave.
Rect CommandPanelRect(int windowWidth);
Rect MessagePanelRect(int windowWidth, int windowHeight);
Rect StatusPanelRect(int windowWidth, int windowHeight);
// The memo and its header, inside the message panel.
Rect MessageHeaderRect(int windowWidth);
Rect MemoRect(int windowWidth, int windowHeight);

// The control that has the focus when the window opens.
inline constexpr Control kInitialFocus = Control::Button_Open;
// Where the focus goes when the control that has it is disabled or hidden
// (Update, while a file is read): "Show Message", always shown and enabled,
// on which a stray Return does nothing. The next control in the Tab order
// would be Clear Memo, where Return empties the memo.
inline constexpr Control kFallbackFocus = Control::CBShowmag;

// The focus goes through these in this order with Tab (skipping the hidden
// and disabled ones): the window's reading order, row by row.
std::span<const Control> TabOrder();

// The lines of the help window's memo: the maker's contact block, then the
// product line, an empty line and a line of one blank.
std::span<const char* const> HelpLines();

// The window's outer size (its frame included, as the designed and the
// minimum sizes mean it) to use for `wanted` on a screen whose available
// area is `available`: never larger than the screen, never smaller than the
// window's minimum (where the screen allows it).
struct Size {
  int width = 0;
  int height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};
Size FitOnScreen(Size wanted, Size available, Size minimum = {layout::kMinimumWidth, layout::kMinimumHeight});

// The smallest outer size of a window whose frame takes `frame`: the
// designed minimum, which holds the command and status panels exactly with
// the home platform's frame (26 pixels high). A thinner frame lowers it by
// the difference, so that no empty strip shows between the panels.
Size MinimumOuterSize(Size frame);

}  // namespace mx
