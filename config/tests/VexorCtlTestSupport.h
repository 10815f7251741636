// vexorctl's suites: the real procedures on a scratch system root, served
// on the endpoint, and vexorctl run against them in this process.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ControlTestSupport.h"
#include "vexorctl/VexorCtl.h"

namespace TesselSoftware::Testing {

class VexorCtlFixture : public ::testing::Test, protected ServiceUnderTest {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start(handlers)); }

    struct Outcome {
        int status;
        std::string out;
        std::string err;
    };
    // Runs vexorctl with args, input as its standard input.
    static Outcome Ctl(const std::vector<std::string>& args, const std::string& input = "") {
        std::istringstream in(input);
        std::ostringstream out, err;
        const int status = VexorCtl::Run(args, in, out, err);
        return {status, out.str(), err.str()};
    }

    TestServer server_{dir.path()};
};

}  // namespace TesselSoftware::Testing
