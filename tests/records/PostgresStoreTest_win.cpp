// The spools of the PostgreSQL tests under Windows.

#include <windows.h>

#include "PostgresStoreFixture.h"

namespace mx::records {

void PointDataHomeAt(const std::filesystem::path& folder) { SetEnvironmentVariableW(L"LOCALAPPDATA", folder.c_str()); }

}  // namespace mx::records
