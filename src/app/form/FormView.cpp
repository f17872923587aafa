#include "app/form/FormView.h"

#include <array>

namespace mx {

std::string_view ControlName(Control control) {
  static constexpr std::array<std::string_view, static_cast<std::size_t>(Control::Count)> kNames{
      "Window",        "LaTitle",        "CBShowmag", "TestData_CB", "Button_Open",  "BtnFileOpen", "BtnRestore",
      "BtnClearMemo",  "Button_Send",    "BtnErase",  "Label11",     "Portlb",       "ComboBox1",   "cbAuto_select",
      "BtnHelp",       "Set_Bootloader", "EditXoff",  "EditXon",     "Label3",       "Label4",      "Label5",
      "Label6",        "Panel8",         "Label12",   "Memo",        "Label10",      "Label8",      "ComboBoxwWait",
      "Label_Percent", "LabelTimeout",   "Label7",    "Label1",      "ProgressBar1", "Animate1",    "SetBootloader1",
      "DisConnect1",   "Restore1"};
  const auto index = static_cast<std::size_t>(control);
  return index < kNames.size() ? kNames[index] : std::string_view{"?"};
}

}  // namespace mx
