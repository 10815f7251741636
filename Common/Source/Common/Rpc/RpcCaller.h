// RpcCaller: the server side of a binding handle, who is calling, as the
// socket's credentials tell it.
#pragma once

#include <sys/types.h>

namespace TesselSoftware {

struct RpcCaller {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

}  // namespace TesselSoftware
