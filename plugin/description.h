#pragma once
// The static description the host reads in place: the kind of machine, its names,
// and the table of its seventeen parameters and one attribute. Plain C records
// with the platform's natural alignment; on a 32-bit build they are exactly 60,
// 32 and 16 bytes. Where pointers are wider, the pointer fields (and the two
// reserved fields) widen and the later offsets move with them.

#include <cstddef>
#include <cstdint>

namespace korvax {

struct ParameterDescriptor {
    std::int32_t Type;            // 2: one unsigned byte in the parameter block
    const char* Name;             // short display name
    const char* Description;      // one-line description
    std::int32_t MinValue;
    std::int32_t MaxValue;
    std::int32_t NoValue;         // the byte that marks "unchanged"; above MaxValue
    std::int32_t Flags;
    std::int32_t DefaultValue;
};

struct AttributeDescriptor {
    const char* Name;
    std::int32_t MinValue;
    std::int32_t MaxValue;
    std::int32_t DefaultValue;
};

struct MachineDescription {
    std::int32_t Type;            // 2: transforms the signal it is given
    std::int32_t Version;         // 15
    std::int32_t Flags;           // 16
    std::int32_t HostCount1;
    std::int32_t HostCount2;
    std::int32_t ParameterCount;  // 17
    std::int32_t HostCount3;
    const ParameterDescriptor* const* Parameters;   // ParameterCount pointers, in index order
    std::int32_t AttributeCount;  // 1
    const AttributeDescriptor* const* Attributes;
    const char* Name;
    const char* ShortName;
    const char* Author;
    const void* Reserved1;        // null, pointer-sized
    const void* Reserved2;        // null, pointer-sized
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(MachineDescription) == 60);
static_assert(offsetof(MachineDescription, Parameters) == 28);
static_assert(offsetof(MachineDescription, AttributeCount) == 32);
static_assert(offsetof(MachineDescription, Attributes) == 36);
static_assert(offsetof(MachineDescription, Name) == 40);
static_assert(offsetof(MachineDescription, ShortName) == 44);
static_assert(offsetof(MachineDescription, Author) == 48);
static_assert(offsetof(MachineDescription, Reserved1) == 52);
static_assert(offsetof(MachineDescription, Reserved2) == 56);
static_assert(sizeof(ParameterDescriptor) == 32);
static_assert(offsetof(ParameterDescriptor, Name) == 4);
static_assert(offsetof(ParameterDescriptor, Description) == 8);
static_assert(offsetof(ParameterDescriptor, MinValue) == 12);
static_assert(offsetof(ParameterDescriptor, MaxValue) == 16);
static_assert(offsetof(ParameterDescriptor, NoValue) == 20);
static_assert(offsetof(ParameterDescriptor, Flags) == 24);
static_assert(offsetof(ParameterDescriptor, DefaultValue) == 28);
static_assert(sizeof(AttributeDescriptor) == 16);
static_assert(offsetof(AttributeDescriptor, MinValue) == 4);
static_assert(offsetof(AttributeDescriptor, MaxValue) == 8);
static_assert(offsetof(AttributeDescriptor, DefaultValue) == 12);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(MachineDescription) == 96);
#endif

// The one constant description, shared by every machine of the library.
const MachineDescription& Description() noexcept;

} // namespace korvax
