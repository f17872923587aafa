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

TEST(Layout, ControlsGrowToTheirTextAndAStretchedNeighbourGivesWay) {
  const auto none = [](Control) { return 0; };
  const Placements designed = PlacePanelControls(layout::kDesignedWidth, none);
  for (const ControlLayout& look : WindowLayout()) {
    if (look.panel != Panel::Command && look.panel != Panel::Status) continue;
    EXPECT_EQ(designed[static_cast<std::size_t>(look.control)], PlaceInPanel(look, layout::kDesignedWidth))
        << ControlName(look.control);
  }
  const auto wide = [](Control control) { return control == Control::cbAuto_select ? 150 : 20; };
  const Placements grown = PlacePanelControls(layout::kDesignedWidth, wide);
  const Rect box = grown[static_cast<std::size_t>(Control::cbAuto_select)];
  const Rect status = grown[static_cast<std::size_t>(Control::Label11)];
  EXPECT_EQ(box.width, 150);
  EXPECT_GT(status.left, box.Right());
  EXPECT_EQ(status.Right(), PlaceInPanel(LayoutOf(Control::Label11), layout::kDesignedWidth).Right());
  // Never narrower than designed; centred and stretched controls keep their places.
  EXPECT_EQ(grown[static_cast<std::size_t>(Control::Portlb)], PlaceInPanel(LayoutOf(Control::Portlb), 907));
  EXPECT_FALSE(GrowsToItsText(LayoutOf(Control::LaTitle)));
  EXPECT_FALSE(GrowsToItsText(LayoutOf(Control::Label7)));
  // The focus falls back on a control that is always there and ignores Return.
  EXPECT_EQ(LayoutOf(kFallbackFocus).kind, ControlKind::CheckBox);
}

TEST(Layout, TheWindowFitsTheScreenAndKeepsItsMinimumWhereItCan) {
  // 1920 x 1080 at a scale of 2 leaves about 960 x 500 for the client area.
  EXPECT_EQ(FitOnScreen({907, 623}, {944, 500}), (Size{907, 500}));
  EXPECT_EQ(FitOnScreen({907, 223}, {1900, 1000}), (Size{907, 223}));
  EXPECT_EQ(FitOnScreen({100, 100}, {1900, 1000}), (Size{layout::kMinimumWidth, layout::kMinimumHeight}));
  EXPECT_EQ(FitOnScreen({907, 623}, {600, 180}), (Size{600, 180}));
  // The minimum holds the two panels and the home platform's frame; a
  // thinner frame lowers it, a thicker one does not raise it.
  EXPECT_EQ(MinimumOuterSize({8, 26}), (Size{layout::kMinimumWidth, layout::kMinimumHeight}));
  EXPECT_EQ(MinimumOuterSize({4, 4}), (Size{layout::kMinimumWidth, 168}));
  EXPECT_EQ(MinimumOuterSize({16, 40}), (Size{layout::kMinimumWidth, layout::kMinimumHeight}));
}

}  // namespace
}  // namespace mx::test
