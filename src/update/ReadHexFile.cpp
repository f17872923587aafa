// Reading a firmware file into the image: load, check, show the outcome.

#include <new>
#include <string>
#include <utility>

#include "app/UpdaterForm.h"
#include "update/HexFile.h"

namespace mx {

bool UpdaterForm::ReadHexFile(const std::string& Path) {
  hexLines_.reset();  // a reading always replaces the image; a refused one leaves none
  try {
    return ReadAndCheckHexFile(Path);
  } catch (const std::bad_alloc&) {
    // Refused like a file that cannot be read; the run goes on as after any refusal.
    hexLines_.reset();
    ShowError("Cannot open file \"" + Path + "\". Not enough memory");
    lastResult_ = ActionResult::FileRefused;
    return false;
  }
}

bool UpdaterForm::ReadAndCheckHexFile(const std::string& Path) {
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
