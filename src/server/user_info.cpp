#include "server/user_info.h"

namespace vextora {

void RateWindow::update(std::uint32_t nowTick) {
    if (rateWindowStart_ == 0) rateWindowStart_ = nowTick;
    if (static_cast<std::uint32_t>(nowTick - rateWindowStart_) >= 1000) {
        lastSecondBytes_ = bytesThisSecond_;
        bytesThisSecond_ = 0;
        rateWindowStart_ += 1000;
    }
}

void RateWindow::reset() {
    lastSecondBytes_ = 0;
    bytesThisSecond_ = 0;
    rateWindowStart_ = 0;
}

}  // namespace vextora
