// The window's layout description, which both windows build from.

#include <gtest/gtest.h>

#include <set>

#include "app/form/FormControls.h"
#include "app/form/FormLayout.h"
#include "support/ScriptedView.h"

namespace mx::test {
namespace {

TEST(Layout, NoShownControlOverlapsAnotherAtTheMinimumOrTheDesignedWidth) {
  ScriptedView view;
  const FormControls designed(view);
  for (int width : {layout::kMinimumWidth, layout::kDesignedWidth}) {
    for (const ControlLayout& a : WindowLayout()) {
      for (const ControlLayout& b : WindowLayout()) {
        if (a.control >= b.control || a.panel != b.panel) continue;
        if (a.panel != Panel::Command && a.panel != Panel::Status) continue;
        if (!designed.State(a.control).visible || !designed.State(b.control).visible) continue;
        const Rect first = PlaceInPanel(a, width);
        const Rect second = PlaceInPanel(b, width);
        EXPECT_FALSE(first.Overlaps(second))
            << ControlName(a.control) << " and " << ControlName(b.control) << " at width " << width;
        EXPECT_LE(first.Right(), width) << ControlName(a.control);
        EXPECT_GE(first.width, 0) << ControlName(a.control);
      }
    }
  }
}

TEST(Layout, PanelsStackAndTheMessagePanelTakesWhatIsLeft) {
  const int height = layout::kDesignedHeight + layout::kMessagePanelGrowth;
  const Rect command = CommandPanelRect(700);
  const Rect message = MessagePanelRect(700, height);
  const Rect status = StatusPanelRect(700, height);
  EXPECT_EQ(command.height, layout::kCommandPanelHeight);
  EXPECT_EQ(status.height, layout::kStatusPanelHeight);
  EXPECT_EQ(message.top, command.Bottom());
  EXPECT_EQ(message.Bottom(), status.top);
  EXPECT_EQ(status.Bottom(), height);
  EXPECT_EQ(MemoRect(700, height).Bottom(), message.height - layout::kMessagePanelMargin);
  // Below the panels' own heights the message panel is empty, never negative.
  EXPECT_EQ(MessagePanelRect(700, 100).height, 0);
}

TEST(Layout, TabOrderStartsAtTheOptionsHoldsEachFocusableControlOnceAndFocusStartsOnConnect) {
  EXPECT_EQ(kInitialFocus, Control::Button_Open);
  std::set<Control> seen;
  for (Control control : TabOrder()) {
    EXPECT_TRUE(seen.insert(control).second) << ControlName(control);
    const ControlKind kind = LayoutOf(control).kind;
    EXPECT_TRUE(kind != ControlKind::Label && kind != ControlKind::Panel && kind != ControlKind::MenuEntry)
        << ControlName(control);
  }
  EXPECT_TRUE(seen.contains(Control::Button_Open));
  EXPECT_TRUE(seen.contains(Control::Memo));
}

TEST(Layout, TheWindowFitsTheScreenAndKeepsItsMinimumWhereItCan) {
  // 1920 x 1080 at a scale of 2 leaves about 960 x 500 for the client area.
  EXPECT_EQ(FitOnScreen({907, 623}, {944, 500}), (Size{907, 500}));
  EXPECT_EQ(FitOnScreen({907, 223}, {1900, 1000}), (Size{907, 223}));
  EXPECT_EQ(FitOnScreen({100, 100}, {1900, 1000}), (Size{layout::kMinimumWidth, layout::kMinimumHeight}));
  EXPECT_EQ(FitOnScreen({907, 623}, {600, 180}), (Size{600, 180}));
}

}  // namespace
}  // namespace mx::test
