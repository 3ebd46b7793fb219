#pragma once

namespace Sim {

// A stand-in driver serving its device path until it is destroyed; destroying it removes the
// path it created. The unit-driver program keeps the ones it started through this base.
class StandinDriver {
public:
    StandinDriver() = default;
    StandinDriver(const StandinDriver&) = delete;
    StandinDriver& operator=(const StandinDriver&) = delete;
    StandinDriver(StandinDriver&&) = delete;
    StandinDriver& operator=(StandinDriver&&) = delete;
    virtual ~StandinDriver() = default;
};

}  // namespace Sim
