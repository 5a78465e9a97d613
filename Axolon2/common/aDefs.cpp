#include "aDefs.h"

namespace {

struct sModel {
    uint8_t number;
    const char *name;
};

const sModel sModels[] = {
    {4, "AxoCore 1"},   {5, "AxoCore 2"},   {13, "AxoHub 4"},   {14, "AxoHub 8"},   {15, "AxoPower 1"},
    {16, "AxoSense 1"}, {17, "AxoSense 2"}, {18, "AxoRelay 4"}, {19, "AxoServo 8"}, {20, "AxoMeter 1"},
    {21, "AxoCore 3"},  {22, "AxoHub 12"},  {23, "AxoIO 16"},   {24, "AxoRail 2"},  {25, "AxoBridge 1"},
    {26, "AxoPower 2"}, {27, "AxoCore 4"},
};

} // namespace

const char *aDefs_GetModelName(uint8_t model) {
    for (const sModel &entry : sModels)
        if (entry.number == model)
            return entry.name;
    return "Unknown";
}
