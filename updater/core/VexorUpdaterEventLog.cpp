#include "core/VexorUpdaterEventLog.h"

#include "Common/Logs/TextLog.h"

namespace TesselSoftware {

CVexorUpdaterEventLog& UpdaterEventLog() {
    static CVexorUpdaterEventLog log(ServiceTextLog(), false, false);
    return log;
}

}  // namespace TesselSoftware
