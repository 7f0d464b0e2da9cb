// The types a host and the framework share (public; hosts get them through
// QuorvelS/quorvels.h): the command codes of CommandProc, the output codes and
// callback, and the start record. They sit in the server core because the core
// writes the host's output and fills the start record; the framework library
// adds the CommandProc entry on top.
#pragma once

#include <cstddef>
#include <cstdint>

// Command codes of CommandProc(cmd, a, b).
enum : int32_t {
    HOSTCMD_SET_OUTPUT = 100,  // b: HostOutputProc; a later call replaces it
    HOSTCMD_HOOK1 = 101,       // no effect
    HOSTCMD_HOOK2 = 102,       // no effect
    HOSTCMD_START = 103,       // a: size in bytes of the record at b; b: ServerStartInfo (in/out)
    HOSTCMD_STOP = 104,        // stops the server
    HOSTCMD_CONSOLE =
        105,  // b: zero-terminated UTF-16 command text; answers with HOSTOUT_CONSOLE_TEXT
    HOSTCMD_TICK = 106,  // a: host value handed to the rooms; drains the network, checks time-outs
    HOSTCMD_SET_CONFIG_PATH = 107,  // b: zero-terminated UTF-16 path of the configuration file
    HOSTCMD_GET_METRICS = 108,      // a: size in bytes of the record at b; b: HostMetrics (out)
};

// Codes the framework passes to the output callback.
enum : int32_t {
    HOSTOUT_LOG_LINE = 201,      // one numbered, time-stamped log line ending in CR LF
    HOSTOUT_CONSOLE_TEXT = 202,  // console answer text, unchanged
};

// Output callback: code (HOSTOUT_*), reserved (0), zero-terminated UTF-16
// text that is valid only during the call.
typedef void (*HostOutputProc)(int32_t nCode, int32_t nReserved, const char16_t* szText);

// The start record of HOSTCMD_START: 116 bytes, little-endian, no padding;
// handles are 32-bit values on every platform.
struct ServerStartInfo {
    char16_t
        szName[50];  // out: window title "%d - %s" (listen port, game description); else unchanged
    uint32_t hInstance;      // in: host module instance, used to extract the game module's icon
    uint32_t hIcon;          // out: first icon of the game module, 0 when it holds none
    int32_t nRoomInfo;       // out: value reported by the last room created
    uint32_t dwDriverParam;  // in: handed unchanged to the network driver
};
static_assert(sizeof(ServerStartInfo) == 116);
static_assert(offsetof(ServerStartInfo, szName) == 0);
static_assert(offsetof(ServerStartInfo, hInstance) == 100);
static_assert(offsetof(ServerStartInfo, hIcon) == 104);
static_assert(offsetof(ServerStartInfo, nRoomInfo) == 108);
static_assert(offsetof(ServerStartInfo, dwDriverParam) == 112);
