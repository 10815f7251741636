// The callback messages of one scan, sent on the scanning thread.
#pragma once

#include <cstdint>
#include <string>

#include "Common/Engine/EngineContract.h"

namespace VexorEngine {

class CallbackChannel {
  public:
    CallbackChannel(EngineCallbackFn callback, uint64_t context)
        : callback_(callback), context_{sizeof(EngineCallbackContext), 0, 0, context} {}
    CallbackChannel(const CallbackChannel&) = delete;
    CallbackChannel& operator=(const CallbackChannel&) = delete;

    void Send(uint16_t message, uint64_t parameter = 0) {
        callback_(&context_, message, 0, parameter);
    }
    void Send(uint16_t message, const void* record) {
        Send(message, reinterpret_cast<uint64_t>(record));
    }
    void NotScanned(uint16_t reason) { Send(kEngineMsgNotScanned, uint64_t{reason}); }

    void Infected(uint32_t signature, const std::string& object, const std::string& virus,
                  uint64_t offset) {
        const EngineVirusRecord record{sizeof record, 0,     signature, object.c_str(),
                                       virus.c_str(), offset};
        Send(kEngineMsgInfected, &record);
    }
    void Cleaned(uint32_t signature, const std::string& object, uint16_t action) {
        const EngineCleanRecord record{sizeof record, 0, signature, 0, action, 0, object.c_str()};
        Send(kEngineMsgCleaned, &record);
    }

  private:
    const EngineCallbackFn callback_;
    const EngineCallbackContext context_;
};

// Brackets one object: 0x425 and 0x411 with its name on entry, 0x419 on
// leaving, so every path out of a scan leaves the nesting balanced.
class ObjectScope {
  public:
    ObjectScope(CallbackChannel& channel, const std::string& name) : channel_(channel) {
        channel_.Send(kEngineMsgEnterObject);
        channel_.Send(kEngineMsgObjectName, name.c_str());
    }
    ~ObjectScope() { channel_.Send(kEngineMsgLeaveObject); }
    ObjectScope(const ObjectScope&) = delete;
    ObjectScope& operator=(const ObjectScope&) = delete;

  private:
    CallbackChannel& channel_;
};

}  // namespace VexorEngine
