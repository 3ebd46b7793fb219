#include "sim/bluetooth/FaultSchedule.h"

namespace Sim {

bool FaultSchedule::strikes(std::uint64_t frameNumber, std::mt19937& generator) const {
    if (every != 0 && frameNumber % every == 0) {
        return true;
    }
    if (probability > 0.0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        return chance(generator) < probability;
    }
    return false;
}

}  // namespace Sim
