// What one device does from its handshake on. The library asks for the next action every
// turn; the host answers from this plan: SYNC (when parameters were given), then
// DATA_TRANSFER, then the final step: SLEEP, EXIT, or CONTROL for as long as the run
// lasts. A device that handshakes again starts a fresh plan.
//
// While the host cannot store measurements the transfer is not asked for: the plan goes
// on to its final step and the transfer is owed. A held device (CONTROL) gets an owed
// transfer as soon as transfers are allowed again; any other device keeps its data for
// its next session.
#ifndef LUMO_COLLECT_DEVICEPLAN_H
#define LUMO_COLLECT_DEVICEPLAN_H

#include <liblumo.h>

#include <vector>

namespace lumo_collect {

enum class FinalStep { Sleep, Exit, Hold };

struct PlanConfig {
    bool sync = false;
    FinalStep finalStep = FinalStep::Sleep;
};

class DevicePlan {
public:
    explicit DevicePlan(const PlanConfig &config);
    // The answer for this turn. The library asks again only once the previous action has
    // finished, so each answer moves the plan on; CONTROL repeats until the run ends.
    liblumo::RequestAction next(bool transfersAllowed = true);
    // The transfer just run was cut short by the host (a refused measurement).
    void oweTransfer() { transferOwed_ = true; }
    bool transferOwed() const { return transferOwed_; }
    // The final SLEEP or EXIT has been answered: the library drops the device.
    bool finished() const { return finished_; }

private:
    std::vector<liblumo::RequestAction> steps_;
    std::size_t index_ = 0;
    bool finished_ = false;
    bool transferOwed_ = false;
};

} // namespace lumo_collect

#endif
