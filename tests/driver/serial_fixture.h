// Shared pieces of the tests that run the driver on a serial line: a devices folder whose COM
// ports lead to pseudo-terminals, and a raw pseudo-terminal to read the driver's bytes directly.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <zel_compat/input.h>
#include <zel_compat/serial.h>

#include <cstdio>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "usb_fixture.h"

// A pseudo-terminal whose master side the test reads and writes itself.
class RawLine {
  public:
    RawLine() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master);
        unlockpt(m_master);
        m_slavePath = ptsname(m_master);
        termios mode;
        tcgetattr(m_master, &mode);
        cfmakeraw(&mode);
        tcsetattr(m_master, TCSANOW, &mode);
        // Held open so that the master never sees the line hang up between the driver's opens.
        m_slave = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(m_slave, &mode);
        cfmakeraw(&mode);
        tcsetattr(m_slave, TCSANOW, &mode);
    }
    ~RawLine() {
        close(m_slave);
        close(m_master);
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }

    // Whatever the driver has written, waiting at most `waitMs` of real time for the first byte.
    std::vector<std::uint8_t> Take(int waitMs = 200) {
        std::vector<std::uint8_t> bytes;
        pollfd ready = {m_master, POLLIN, 0};
        while (poll(&ready, 1, bytes.empty() ? waitMs : 20) > 0) {
            std::uint8_t chunk[256];
            const ssize_t got = read(m_master, chunk, sizeof chunk);
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }
    void Put(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        tcdrain(m_master);
    }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// The driver on the manual clock with a devices folder of its own.
class SerialTest : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        char folder[] = "/tmp/zel-devices-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = folder;
        zelcompat::SetDevicesFolder(m_folder);
        ResetSerialState();
        zelcompat::TakeInjectedKeys();
    }
    void TearDown() override {
        UsbTest::TearDown();
        ResetSerialState();
        for (const std::string& link : m_links) unlink(link.c_str());
        rmdir(m_folder.c_str());
        zelcompat::SetDevicesFolder("");
    }

    // Makes COM`number` lead to `slavePath`.
    void LinkPort(int number, const std::string& slavePath) {
        const std::string link = m_folder + "/com" + std::to_string(number);
        ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
        m_links.push_back(link);
    }

    static void ResetSerialState() {
        g_driver.m_parser = FrameParser{};
        g_driver.m_awaitingAck = 0;
        g_driver.m_deferredPending = 0;
        g_driver.m_serialTimeouts = 0;
        g_driver.m_pendingKeyFlags = 0;
        g_driver.m_secondRow = 0;
        g_driver.m_useHid = 0;
    }

    std::string m_folder;
    std::vector<std::string> m_links;
};

// A serial frame built the way the display builds one (independently of the driver's code).
inline std::vector<std::uint8_t> Frame(std::uint8_t type,
                                       const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame = {0x01, 0x02, type, static_cast<std::uint8_t>(payload.size()),
                                       0x03};
    unsigned sum = 0x02 + type + payload.size() + 0x03;
    for (std::uint8_t byte : payload) {
        frame.push_back(byte);
        sum += byte;
    }
    const unsigned sent = (sum & 0xFFFF) ^ 0xAA55;
    frame.push_back(static_cast<std::uint8_t>(sent & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(sent >> 8));
    return frame;
}
