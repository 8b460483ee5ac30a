// The device error texts and the rule that picks an entry for an error code.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr std::array<std::string_view, 33> g_ErrorText{{
    "???",                            // 0
    "PickUp Error",                   // 0x01
    "JAM CHK to RV_start",            // 0x02
    "JAM Diverter to Eject",          // 0x03
    "JAM Eject to Exit",              // 0x04
    "JAM Exit Sensor",                // 0x05
    "MisEject",                       // 0x06
    "Sequence 0",                     // 0x07
    "Sequence 1",                     // 0x08
    "LEN error at EJT",               // 0x09
    "LEN error at EXIT",              // 0x0A
    "Dispensed at pretime",           // 0x0B
    "Dispensed over note",            // 0x0C
    "Over Reject",                    // 0x0D
    "Error at Purge",                 // 0x0E
    "Sensor On",                      // 0x20
    "Sensor Off",                     // 0x21
    "Sensor Solenoid",                // 0x22
    "Slit Count",                     // 0x23
    "Cash-Cassette1 Not Exist",       // 0x24
    "Box NearEnd",                    // 0x25
    "Reject Box",                     // 0x26
    "Sensor Calibration",             // 0x27
    "Box Jam",                        // 0x28
    "JAM CashBox to CHK Sensor",      // 0x29
    "JAM RV_Start to Divert Sensor",  // 0x2A
    "Run TimeOut",                    // 0x2B
    "Cash-Cassette2 Not Exist",       // 0x2C
    "Unknown Error",                  // 0x30
    "Parameter Error",                // 0x31
    "CheckSum Error",                 // 0x32
    "Program Writing Error",          // 0x33
    "Verify Error",                   // 0x34
}};

// Entry of g_ErrorText for a device error code.  Codes 0x35..0xFF lie beyond
// the table and show entry 0.
constexpr std::size_t ErrorTextIndex(std::uint8_t c) {
    std::size_t i = c <= 0x1F ? c : (c <= 0x2F ? c - 0x11u : c - 0x14u);
    return i < g_ErrorText.size() ? i : 0;
}

static_assert(ErrorTextIndex(0x2C) == 27 && ErrorTextIndex(0x34) == 32 && ErrorTextIndex(0x35) == 0);
