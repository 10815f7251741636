// vexor-service-unit: prints the systemd unit that runs PROGRAM as the
// updater service. The packages ship its output, so the packaged unit and
// the one "VexorDatUpdater -install" writes come from the same code.
#include <iostream>

#include "service/SystemdUnit.h"

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    if (argc != 2 || !QuoteExecPath(argv[1])) {
        std::cerr << "Usage: vexor-service-unit PROGRAM  (PROGRAM: the absolute path of VexorDatUpdater)\n";
        return 2;
    }
    std::cout << ServiceUnitText(argv[1], "");
    return std::cout.flush() ? 0 : 1;
}
