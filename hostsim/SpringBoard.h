// SpringBoard's side of the simulated device (see SpringBoard.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hostsim/Device.h"
#include "hostsim/Objects.h"

namespace hostsim {

struct HostClasses {
  Class object = nullptr;
  Class uiApplication = nullptr;
  Class springBoard = nullptr;
  Class application = nullptr;
  Class homeScreen = nullptr;
  Class exitReport = nullptr;
  Class switcher = nullptr;
  IMP nativeApplicationDidExit = nullptr;
  Class device = nullptr;
  Class moduleManager = nullptr;
  Class moduleInstance = nullptr;
  Class moduleMetadata = nullptr;
  Class toggleModule = nullptr;
  Class inertModule = nullptr;
};

// Defines SpringBoard's classes for a new boot and makes its objects.
void installSpringBoard(const std::string& systemVersion,
                        const std::vector<std::string>& versionAnswers,
                        const std::vector<std::string>& apps,
                        const std::vector<ModuleSpec>& modules);
const HostClasses& hostClasses();

id springBoardObject();
id applicationNamed(const std::string& bundleId);
void sendFrontDisplayDidChange(id display);
// The switcher of this system version reports that the application has exited.
void reportApplicationExit(id application);
// The bundle identifier of the display SpringBoard last reported in front; "" for the home
// screen (or before any report).
std::string frontDisplayIdentifier();
bool vpnConnected();
void userSwitchesVPN(bool on);
std::optional<bool> moduleSelected(const std::string& identifier);
std::size_t systemVersionQueries();

}  // namespace hostsim
