// The class identifiers and ProgIDs of qoMoreUtils.dll, our MAPI utility library on Windows.
// Programs that create its objects without the registry (tests, the test client) include this.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qomoreutils {

// What an object of a class is: the utilities, a table, or one of the safe item wrappers.
enum class ClassKind { Utils, Table, SafeMail, SafePost, SafeContact, SafeAppointment, SafeTask };

struct ClassInfo {
    ClassKind kind;
    CLSID clsid;
    const wchar_t* progId;
    const wchar_t* name;  // the class key's default value
};

inline constexpr ClassInfo kClasses[] = {
    {ClassKind::Utils,
     {0xD48512B6, 0x5037, 0x454C, {0x9A, 0x74, 0xBD, 0x22, 0xEC, 0x07, 0xAB, 0xE6}},
     L"qoMoreUtils.qoMAPIUtils",
     L"qoMoreUtils MAPI utilities"},
    {ClassKind::Table,
     {0x6F7B5B9B, 0xB61B, 0x41C3, {0x92, 0xB1, 0xBA, 0x57, 0x3C, 0xBB, 0xEE, 0xF0}},
     L"qoMoreUtils.qoMAPITable",
     L"qoMoreUtils MAPI table"},
    {ClassKind::SafeMail,
     {0x6B409E35, 0xFC36, 0x4A7F, {0x84, 0x3C, 0x3D, 0xCD, 0xCD, 0x3C, 0x18, 0x0E}},
     L"qoMoreUtils.qoSafeMailItem",
     L"qoMoreUtils safe mail item"},
    {ClassKind::SafePost,
     {0x0F5CB1FF, 0x63D1, 0x44C5, {0x83, 0x08, 0xB4, 0xDB, 0x4E, 0xE1, 0x55, 0x4B}},
     L"qoMoreUtils.qoSafePostItem",
     L"qoMoreUtils safe post item"},
    {ClassKind::SafeContact,
     {0xECD649DB, 0x1575, 0x483C, {0x88, 0xED, 0xDF, 0xD3, 0xC3, 0x38, 0x6F, 0x3E}},
     L"qoMoreUtils.qoSafeContactItem",
     L"qoMoreUtils safe contact item"},
    {ClassKind::SafeAppointment,
     {0xC3D6289A, 0xE3D1, 0x403F, {0x85, 0xCF, 0x19, 0xF6, 0x4B, 0xF2, 0x7C, 0x1D}},
     L"qoMoreUtils.qoSafeAppointmentItem",
     L"qoMoreUtils safe appointment item"},
    {ClassKind::SafeTask,
     {0x62DCD43F, 0x112C, 0x40F9, {0x8C, 0x26, 0xF2, 0xDE, 0x3B, 0x3D, 0x2C, 0x39}},
     L"qoMoreUtils.qoSafeTaskItem",
     L"qoMoreUtils safe task item"},
};

}  // namespace qomoreutils
