// How each kind of procedure parameter is held and carried by the stubs an
// interface definition generates (see updater/rpc/UpdaterControl.h):
//
//   Param<Direction, Type>::CType    the parameter's type in a procedure's
//                                    signature (value or pointer)
//   Param<...>::ServerLocal          the server stub's storage: decoded from
//                                    the request (in), encoded into the
//                                    response (out), released afterwards
//   Param<...>::ClientArg            the client stub's view of the caller's
//                                    argument: encoded (in) or decoded into
//                                    memory from RpcAllocate (out)
//
// Bind() lets a parameter find another one of the same call (the log entry
// array is sized by the count before it); Free() undoes a client decode
// when a later parameter fails.
#pragma once

#include <cstdint>

#include "Common/Errors/Win32Error.h"
#include "Common/Rpc/NdrCodec.h"
#include "Common/Rpc/RpcClient.h"

namespace TesselSoftware::RpcStub {

enum class Direction { In, Out };
enum class Type { Boolean, Short, Long, Hyper, Enum16, String, LogEntryArray };

template <Type T>
struct Scalar;
template <>
struct Scalar<Type::Boolean> {
    using Value = uint8_t;
    static Value Read(NdrReader& in) { return in.ReadSmall(); }
    static void Write(NdrWriter& out, Value value) { out.WriteSmall(value); }
};
template <>
struct Scalar<Type::Short> {
    using Value = int16_t;
    static Value Read(NdrReader& in) { return in.ReadShort(); }
    static void Write(NdrWriter& out, Value value) { out.WriteShort(value); }
};
template <>
struct Scalar<Type::Long> {
    using Value = int32_t;
    static Value Read(NdrReader& in) { return in.ReadLong(); }
    static void Write(NdrWriter& out, Value value) { out.WriteLong(value); }
};
template <>
struct Scalar<Type::Hyper> {
    using Value = int64_t;
    static Value Read(NdrReader& in) { return in.ReadHyper(); }
    static void Write(NdrWriter& out, Value value) { out.WriteHyper(value); }
};
template <>
struct Scalar<Type::Enum16> {
    using Value = int32_t;  // 32-bit in memory, 16-bit on the wire
    static Value Read(NdrReader& in) { return in.ReadEnum16(); }
    static void Write(NdrWriter& out, Value value) { out.WriteEnum16(value); }
};

// Out pointers are reference pointers: the caller must supply them.
inline void CheckReference(const void* pointer) {
    if (pointer == nullptr) {
        throw RpcCallException(static_cast<int32_t>(Win32::kNullRefPointer), "null reference pointer");
    }
}

template <Direction D, Type T>
struct Param;

template <Type T>
struct Param<Direction::In, T> {
    using Value = typename Scalar<T>::Value;
    using CType = Value;
    struct ServerLocal {
        Value value{};
        template <typename All> void Bind(const All&) {}
        void Decode(NdrReader& in) { value = Scalar<T>::Read(in); }
        CType Arg() { return value; }
        void Encode(NdrWriter&) const {}
    };
    struct ClientArg {
        CType value;
        template <typename All> void Bind(const All&) {}
        void Check() const {}
        void Encode(NdrWriter& out) const { Scalar<T>::Write(out, value); }
        void Decode(NdrReader&) {}
        void Free() {}
    };
};

template <Type T>
struct Param<Direction::Out, T> {
    using Value = typename Scalar<T>::Value;
    using CType = Value*;
    struct ServerLocal {
        Value value{};
        template <typename All> void Bind(const All&) {}
        void Decode(NdrReader&) {}
        CType Arg() { return &value; }
        void Encode(NdrWriter& out) const { Scalar<T>::Write(out, value); }
    };
    struct ClientArg {
        CType pointer;
        template <typename All> void Bind(const All&) {}
        void Check() const { CheckReference(pointer); }
        void Encode(NdrWriter&) const {}
        void Decode(NdrReader& in) { *pointer = Scalar<T>::Read(in); }
        void Free() {}
    };
};

template <>
struct Param<Direction::In, Type::String> {
    using CType = const char16_t*;
    struct ServerLocal {
        RpcString value;
        template <typename All> void Bind(const All&) {}
        void Decode(NdrReader& in) { value = in.ReadUniqueString(); }
        CType Arg() { return value.get(); }
        void Encode(NdrWriter&) const {}
    };
    struct ClientArg {
        CType value;
        template <typename All> void Bind(const All&) {}
        void Check() const {}
        void Encode(NdrWriter& out) const { out.WriteUniqueString(value); }
        void Decode(NdrReader&) {}
        void Free() {}
    };
};

template <>
struct Param<Direction::Out, Type::String> {
    using CType = char16_t**;
    struct ServerLocal {
        RpcString value;
        char16_t* raw = nullptr;  // what the procedure stored
        ServerLocal() = default;
        ServerLocal(const ServerLocal&) = delete;
        ~ServerLocal() { RpcFree(raw); }
        template <typename All> void Bind(const All&) {}
        void Decode(NdrReader&) {}
        CType Arg() { return &raw; }
        void Encode(NdrWriter& out) const { out.WriteUniqueString(raw); }
    };
    struct ClientArg {
        CType pointer;
        bool decoded = false;
        template <typename All> void Bind(const All&) {}
        void Check() const { CheckReference(pointer); }
        void Encode(NdrWriter&) const {}
        void Decode(NdrReader& in) {
            *pointer = in.ReadUniqueString().release();
            decoded = true;
        }
        void Free() {
            if (decoded) RpcFree(*pointer), *pointer = nullptr;
        }
    };
};

// An out array of VexorLogEntry sized by the call's pNumEntries.
template <>
struct Param<Direction::Out, Type::LogEntryArray> {
    using CType = VexorLogEntry**;
    struct ServerLocal {
        VexorLogEntry* raw = nullptr;
        const int32_t* count = nullptr;
        ServerLocal() = default;
        ServerLocal(const ServerLocal&) = delete;
        ~ServerLocal() { FreeLogEntries(raw, raw != nullptr ? *count : 0); }
        template <typename All> void Bind(const All& all) { count = &all.pNumEntries.value; }
        void Decode(NdrReader&) {}
        CType Arg() { return &raw; }
        void Encode(NdrWriter& out) const { out.WriteLogEntries(raw, *count); }
    };
    struct ClientArg {
        CType pointer;
        const int32_t* const* count = nullptr;
        bool decoded = false;
        template <typename All> void Bind(const All& all) { count = &all.pNumEntries.pointer; }
        void Check() const { CheckReference(pointer); }
        void Encode(NdrWriter&) const {}
        void Decode(NdrReader& in) {
            *pointer = in.ReadLogEntries(**count);
            decoded = true;
        }
        void Free() {
            if (decoded) FreeLogEntries(*pointer, **count), *pointer = nullptr;
        }
    };
};

}  // namespace TesselSoftware::RpcStub
