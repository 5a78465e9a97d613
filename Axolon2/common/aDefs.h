#pragma once
// Command codes (data byte 0), link-control addresses and sub-codes that the program sends or
// recognises, and the model-name lookup.

#include <cstdint>

// Command codes.
constexpr uint8_t cmdHEARTBEAT = 0;    // [0, state]; the link engine answers a device heartbeat
constexpr uint8_t cmdSYSTEM = 3;       // system entity (UEI)
constexpr uint8_t cmdSTORE = 4;        // store slots (raw)
constexpr uint8_t cmdI2C = 8;          // I2C entity (raw)
constexpr uint8_t cmdDEBUG = 23;       // the module echoes the bytes sent (raw)
constexpr uint8_t cmdINFO = 73;        // module information (raw), sub-codes below
constexpr uint8_t cmdENTITYSTORE = 92; // save, reset or load an entity (UEI, int value)
constexpr uint8_t cmdSTREAM = 93;      // stream control (UEI)
constexpr uint8_t cmdFACTORY = 94;     // factory data (raw)
constexpr uint8_t cmdUPGRADE = 95;     // loader protocol (raw, and UEI for val_UPGRADE_DATA_UEI)

// Odd addresses reserved for link control; module addresses are even, 2..254.
constexpr uint8_t addrWHOAREYOU = 0xAD; // zero-length probe; the reply carries the module address
constexpr uint8_t cmdFORCEROUTE = 0xAF; // one data byte: 1 when a link starts, 0 when it stops

// cmdUPGRADE sub-codes (data byte 1).
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_DATA_UEI = 10; // option of a bytes set on cmdUPGRADE, index 0

// cmdINFO sub-codes (data byte 1) and the exact data length of each reply.
constexpr uint8_t infoBUILD = 0xFF;         // [73, 0xFF] -> [73, 0xFF, build (32-bit)]
constexpr uint8_t infoHASUEI = 1;           // [73, 1, cmd, option, index, direction] -> [.., result]
constexpr uint8_t infoCLASSQUANTITY = 4;    // [73, 4, cmd] -> [73, 4, cmd, count]
constexpr uint8_t infoSUBCLASSQUANTITY = 5; // [73, 5, cmd, index] -> [.., count]
constexpr uint8_t infoENTITYGROUP = 6;      // [73, 6, cmd, index] -> [.., group]
constexpr uint8_t infoBUILD_REPLYLENGTH = 6;
constexpr uint8_t infoHASUEI_REPLYLENGTH = 6;
constexpr uint8_t infoCLASSQUANTITY_REPLYLENGTH = 4;
constexpr uint8_t infoSUBCLASSQUANTITY_REPLYLENGTH = 5;
constexpr uint8_t infoENTITYGROUP_REPLYLENGTH = 5;

// cmdENTITYSTORE values.
constexpr uint32_t valENTITYSTORE_SAVE = 0;
constexpr uint32_t valENTITYSTORE_RESET = 1;
constexpr uint32_t valENTITYSTORE_LOAD = 2;

// Display name of a model number a device reports; "Unknown" for numbers without a product.
// The string is static.
const char *aDefs_GetModelName(uint8_t model);
