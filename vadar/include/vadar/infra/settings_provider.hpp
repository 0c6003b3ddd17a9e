#pragma once
// SettingsProvider: where the telemetry collector and the web authentication read the settings the `Vadar`
// object holds at that moment (debug mode, the callback scheme). The core connects a provider that reads the
// shared `Vadar` object; tests use FixedSettingsProvider.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "vadar/infra/settings.hpp"

namespace vadar {

class SettingsProvider {
 public:
  virtual ~SettingsProvider() = default;
  // The settings in force now. May be called from any thread.
  virtual VadarSettings currentSettings() const = 0;
  // The publishable key in force now, none before configuration (telemetry metadata).
  virtual std::optional<std::string> publishableKey() const { return std::nullopt; }
};

// Holds a settings value that tests (or a host without a `Vadar` object) set directly. Thread-safe.
class FixedSettingsProvider : public SettingsProvider {
 public:
  explicit FixedSettingsProvider(VadarSettings settings = VadarSettings()) : settings_(std::move(settings)) {}
  VadarSettings currentSettings() const override {
    std::lock_guard lock(mutex_);
    return settings_;
  }
  void setSettings(VadarSettings settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
  }

 private:
  mutable std::mutex mutex_;
  VadarSettings settings_;
};

}  // namespace vadar
