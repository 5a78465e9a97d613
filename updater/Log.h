#pragma once
#include <cstdio>

// Debug log packages, switched on with -X. An entry logged with mask 0 is always written.
enum : unsigned {
    DEBUG_Updater = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_Network_Legacy = 0x10, // listed in the usage text as DEBUG_Network; nothing logs under it
    DEBUG_ServerComm = 0x20,
    DEBUG_Network = 0x100,
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
};

// Process-wide debug log. Entries carry their own line ends. Safe to call from
// any thread: each entry is formatted on the caller's stack and written with one fwrite.
class Log {
  public:
    static void log(unsigned mask, const char *format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE *stream);
    static void ActivatePackage(unsigned mask);
    static void DeactivatePackage(unsigned mask);
    static unsigned Packages();
};
