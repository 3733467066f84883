// The framed transport behind SKSendData and SKRevData, with the capacity
// that the exported functions cannot take.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor {

// Reader status byte to the library's result code (0 for status 0).
int MapDeviceStatus(std::uint8_t status);

// This thread's last transport error (0 after a successful transfer).
int LastTransportError();

// Sends one command frame; 1 on success, 0 with the last transport error.
// Data over 599 bytes (or a negative length) fails with VANTOR_ERR_LENGTH
// before anything is written.
int SendFrame(int handle, int slot, std::uint8_t command, const std::uint8_t* data, int length);

// Receives one response frame into data (room for capacity bytes); 1 on
// success, 0 with the last transport error and data and *length untouched.
int ReceiveFrame(int handle, std::uint8_t* data, std::size_t capacity, int* length);

}  // namespace vantor
