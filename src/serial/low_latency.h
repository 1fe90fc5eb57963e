// The driver's receive latency on a termios system.
//
// A USB serial adapter holds received bytes until its buffer fills or its latency timer runs out
// (16 ms by default on an FTDI chip) before it hands them to the computer, so every time stamp is
// late by up to that much and every byte the proxy forwards waits as long. Linux drivers take a
// low-latency request (ftdi_sio sets the chip's timer to 1 ms); other systems have none.
#pragma once

#include <cstdint>

namespace kelp {

// Asks the driver of an open port for low latency. True when this call changed the setting, so
// that `restore_serial_latency` (serial.h) must give it back; false when the driver refused or
// does not know the request, or the setting was already on.
bool request_low_latency(std::intptr_t native);

}  // namespace kelp
