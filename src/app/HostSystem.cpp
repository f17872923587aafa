// What the host layer says the same way on every platform.

#include "app/HostSystem.h"

namespace mx {

const char* PortKindName(PortKind kind) {
  switch (kind) {
    case PortKind::BuiltIn:
      return "built-in";
    case PortKind::Usb:
      return "USB";
    case PortKind::Acm:
      return "ACM";
    case PortKind::Simulator:
      return "simulator";
  }
  return "built-in";
}

}  // namespace mx
