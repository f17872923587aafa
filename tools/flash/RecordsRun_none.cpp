#include <ostream>

#include "CommandLine.h"
#include "Records.h"

namespace mx::flash {

int RunRecords(const RecordsOptions&, std::ostream&, std::ostream& err) {
  err << "mx7410-flash: the record store is not in this build\n";
  return kExitRecordsFailed;
}

}  // namespace mx::flash
