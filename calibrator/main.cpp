// orvexcal: the full-screen calibration program. It takes no options; its
// configuration is the driver's registry key.
#include "calibrator/front.h"

int main(int argc, char** argv) {
    return orvex::RunCalibratorProgram(argc, argv);
}
