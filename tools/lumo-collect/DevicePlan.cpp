#include "DevicePlan.h"

namespace lumo_collect {

DevicePlan::DevicePlan(const PlanConfig &config)
{
    if (config.sync)
        steps_.push_back(liblumo::SYNC);
    steps_.push_back(liblumo::DATA_TRANSFER);
    switch (config.finalStep) {
    case FinalStep::Sleep:
        steps_.push_back(liblumo::SLEEP);
        break;
    case FinalStep::Exit:
        steps_.push_back(liblumo::EXIT);
        break;
    case FinalStep::Hold:
        steps_.push_back(liblumo::CONTROL);
        break;
    }
}

liblumo::RequestAction DevicePlan::next(bool transfersAllowed)
{
    if (steps_[index_] == liblumo::DATA_TRANSFER && !transfersAllowed) {
        transferOwed_ = true;
        ++index_; // the transfer is never the last step
    }
    const liblumo::RequestAction action = steps_[index_];
    if (action == liblumo::CONTROL && transferOwed_ && transfersAllowed) {
        transferOwed_ = false;
        return liblumo::DATA_TRANSFER;
    }
    if (action == liblumo::DATA_TRANSFER)
        transferOwed_ = false;
    if (index_ + 1 < steps_.size())
        ++index_;
    else if (action != liblumo::CONTROL)
        finished_ = true;
    return action;
}

} // namespace lumo_collect
