#include "PortRun.h"

namespace mx::flash {

PortRun::PortRun(Options options, TerminalOutput& output)
    : options_(std::move(options)),
      view_(output, TerminalSettings{options_.quiet, AbsoluteFile(options_)}),
      form_(loop_, view_, CommandLineServices(options_)),
      runner_(options_, loop_, form_, view_) {
  view_.Attach(form_);
}

void PortRun::Interrupt() {
  loop_.Post([this] { runner_.Interrupt(); });
}

}  // namespace mx::flash
