// orvexcal: the full-screen calibration program. Its configuration is the
// driver's registry key. --ready FILE makes FILE once the window is shown;
// --print-monitor only says where it would open.
#include <cstdio>
#include <string_view>

#include "calibrator/front.h"
#include "platform/instance-lock.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace orvex;
    // A look at the monitor needs no lock: it may be taken while a
    // calibration runs.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--print-monitor")
            return PrintPanelMonitor(argc, argv);
    }
    // Two calibrators would both take the touches and install calibrations,
    // and one's UNDO could put back the other's. The second says so on its
    // standard error only: a window of its own would appear over the first
    // one's targets and take their touches.
    const InstanceLock lock = InstanceLock::Take(PlatformRoot(), "orvexcal.lock");
    if (lock.Result() == InstanceLock::Outcome::Held) {
        std::fprintf(stderr, "orvexcal: a calibration is already running (%s is held)\n",
                     lock.Path().c_str());
        return 1;
    }
    if (lock.Result() == InstanceLock::Outcome::Unusable && !lock.Why().empty())
        std::fprintf(stderr, "orvexcal: %s; not checking for another calibration\n",
                     lock.Why().c_str());
    return RunCalibratorProgram(argc, argv);
}
