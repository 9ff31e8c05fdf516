#pragma once
// A device as the acquisition service hands it to its driver.
#include <memory>
#include <string>

#include "strata/Profile.h"

namespace VESK::DAQ {

class IDevice {
 public:
  virtual ~IDevice();
  virtual std::string GetName() const = 0;
  // The device's profile; null when it has none.
  virtual std::shared_ptr<Profile> GetProfile() const = 0;
};

// The plain device: a name and a profile.
class Device : public IDevice {
 public:
  Device(std::string name, std::shared_ptr<Profile> profile) : _name(std::move(name)), _profile(std::move(profile)) {}
  // A device whose profile is read from a profile file (Profile::LoadFromFile);
  // its profile is null when the file cannot be used.
  static std::shared_ptr<Device> LoadFromFile(const std::string& name, const std::string& profilePath);

  std::string GetName() const override { return _name; }
  std::shared_ptr<Profile> GetProfile() const override { return _profile; }

 private:
  std::string _name;
  std::shared_ptr<Profile> _profile;
};

}  // namespace VESK::DAQ
