#pragma once

// The window's behaviour without widgets: an UpdaterForm on a plain event
// queue, a scripted view, a temporary settings directory and a port list the
// test controls.

#include <memory>
#include <string>
#include <vector>

#include "app/form/UpdaterForm.h"
#include "serial/EventLoop.h"
#include "support/ScriptedView.h"
#include "support/TempDir.h"

namespace mx::test {

struct FormHarness {
  TempDir settings;
  EventQueue loop;
  ScriptedView view;
  std::vector<std::string> ports;   // what the host "lists"
  std::vector<std::string> killed;  // names passed to KillProcessByName
  std::unique_ptr<UpdaterForm> form;

  FormHarness() { Create(); }

  void Create() {
    FormServices services;
    services.settingsDirectory = settings.WithSeparator();
    services.listSerialPorts = [this] { return ports; };
    services.portDevicePath = [](const std::string& name) { return name; };
    services.killProcessByName = [this](const std::string& name) {
      killed.push_back(name);
      return false;
    };
    form = std::make_unique<UpdaterForm>(loop, view, std::move(services));
  }

  std::string SettingsFile() const { return form->SettingsPath(); }
  const ControlState& State(Control control) const { return form->State(control); }
  const std::string& Caption(Control control) const { return form->State(control).caption; }
};

}  // namespace mx::test
