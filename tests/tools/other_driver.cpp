// A library with the driver's export whose driver is not ZEL: zel-host must refuse it.
#include <windows.h>

#include "host_interface.h"

namespace {

struct OtherDriver : host::HostDriver {
    int Open(const char*, host::HostSink*, const char*, const char*) override { return 0; }
    void Close() override {}
    host::HostSink* SetSink(host::HostSink*) override { return nullptr; }
    int GetOpenParam1(char*, int) override { return 0; }
    int GetOpenParam2(char*, int) override { return 0; }
    int Slot5(int, int) override { return 0; }
    int GetVersionCode() override { return 0x300; }
    int Slot7() override { return 0; }
    int Slot8() override { return 0; }
    int Slot9() override { return 0; }
    int Slot10(int) override { return 0; }
    int WriteMain(const unsigned char*, int) override { return 0; }
    int WriteAll(const unsigned char*, int) override { return 0; }
    int ClearDisplay() override { return 0; }
    int Slot14(int, int) override { return 0; }
    int Slot15() override { return 0; }
    int Suspend(int) override { return 0; }
    void Slot17() override {}
    int GetTextCellCount() override { return 0; }
    int Slot19() override { return 0; }
    int GetStatusCellCount() override { return 0; }
    int GetTotalCellCount() override { return 0; }
    int Slot22() override { return 0; }
    int Slot23(int, int, int, int) override { return 0; }
    int Slot24() override { return 0; }
    int Slot25(int, int) override { return 0; }
    int Slot26(int, int, int) override { return 0; }
    int Slot27(int) override { return 0; }
    int Slot28(int) override { return 0; }
    int Slot29() override { return 0; }
    void Slot30(int) override {}
    int Slot31() override { return 0; }
    void Slot32(int) override {}
    int Slot33() override { return 0; }
    int GetIdentity(char* name, int size, GUID*) override {
        const char other[] = "OTHER";
        if (name == nullptr || size < static_cast<int>(sizeof other)) return 0;
        for (unsigned i = 0; i < sizeof other; ++i) name[i] = other[i];
        return 1;
    }
};

OtherDriver g_other;

}  // namespace

extern "C" __attribute__((visibility("default"))) host::HostDriver** GetBrailleInterface(
    host::HostDriver** driver) {
    if (driver != nullptr) *driver = &g_other;
    return driver;
}
