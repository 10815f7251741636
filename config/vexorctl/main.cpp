#include <iostream>

#include "vexorctl/VexorCtl.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return TesselSoftware::VexorCtl::Run(args, std::cin, std::cout, std::cerr);
}
