#pragma once
#include <string>

namespace vivirov {

// Whether the computer runs on battery, so retried work can slow down.
class PowerSource {
public:
    virtual ~PowerSource() = default;
    virtual bool onBattery() const = 0;
};

// Reads the kernel's power-supply class afresh on every call. The computer is
// on battery when no external supply (mains, USB, ...) is online and a system
// battery is discharging; no information at all counts as mains power.
class SystemPowerSource final : public PowerSource {
public:
    // `root` is the power-supply class folder; tests point it at a fixture.
    explicit SystemPowerSource(std::string root = "/sys/class/power_supply");
    bool onBattery() const override;

private:
    std::string root_;
};

// A fixed answer, for callers that already know (and for tests).
class FixedPowerSource final : public PowerSource {
public:
    explicit FixedPowerSource(bool onBattery) : onBattery_(onBattery) {}
    bool onBattery() const override { return onBattery_; }

private:
    bool onBattery_;
};

} // namespace vivirov
