// Reading a firmware file into the image: load, check, show the outcome.

#include <string>
#include <utility>

#include "app/UpdaterForm.h"
#include "update/HexFile.h"

namespace mx {

bool UpdaterForm::ReadHexFile(const std::string& Path) {
  hexLines_.reset();  // a reading always replaces the image; a refused one leaves none

  HexText text = LoadHexText(Path);
  if (!text.error.empty()) {
    ShowError(text.error);
    lastResult_ = ActionResult::FileRefused;
    return false;
  }

  SetCaption(Control::Label11, texts_.UpdateFileNameText + ":" + LastPathComponent(Path));
  SetCaption(Control::LabelTimeout, "Hex File Openning...");

  const HexCheck check = CheckHexLines(text.lines);
  for (const std::string& fault : check.addressFaults) MemoAppend(fault + "\r\n");
  SetCaption(Control::Label7, std::to_string(check.linesExamined));

  if (check.conversionError) {
    ShowError(*check.conversionError);
    lastResult_ = ActionResult::FileRefused;
    return false;
  }
  if (!check.Accepted()) {
    view_.ShowMessage("File import failure : " + RefusalText(check.refusal));
    lastResult_ = ActionResult::FileRefused;
    return false;
  }

  SetProgressMax(check.dataRecordCount);
  hexLines_ = std::move(text.lines);
  return true;
}

}  // namespace mx
