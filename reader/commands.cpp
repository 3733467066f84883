// The reader command set: one function per command, each one command frame
// out and one response frame back. Outputs are written only after both
// transfers have succeeded.
#include <chrono>
#include <cstring>
#include <thread>

#include "codes.h"
#include "transport.h"
#include "vantor/reader.h"

namespace {

using vantor::LastTransportError;
using vantor::ReceiveFrame;
using vantor::SendFrame;
using u8 = unsigned char;
namespace cmd = vantor::cmd;

constexpr std::size_t kResponseBuffer = 280;
constexpr std::size_t kRequestBuffer = 261;
constexpr auto kFirmwareSettle = std::chrono::milliseconds(800);

// One exchange into a response buffer of the function's own; returns 0 or
// the last transport error.
int Exchange(int handle, int slot, u8 code, const u8* request, int requestLength, u8* response,
             std::size_t capacity, int* responseLength) {
  if (!SendFrame(handle, slot, code, request, requestLength)) {
    return LastTransportError();
  }
  if (!ReceiveFrame(handle, response, capacity, responseLength)) {
    return LastTransportError();
  }
  return 0;
}

// A command whose answer is not used.
int Simple(int handle, int slot, u8 code, const u8* request, int requestLength) {
  u8 response[kResponseBuffer];
  int responseLength = 0;
  return Exchange(handle, slot, code, request, requestLength, response, sizeof response,
                  &responseLength);
}

int WithSettle(int result) {
  if (result == 0) std::this_thread::sleep_for(kFirmwareSettle);
  return result;
}

}  // namespace

extern "C" {

VANTOR_API int DllReset7816Card(int handle, int slot, unsigned char* atr, int* atrLength) {
  u8 buffer[kResponseBuffer] = {0x01};
  int length = 0;
  const int result =
      Exchange(handle, slot, cmd::kResetCard, buffer, 1, buffer, sizeof buffer, &length);
  if (result != 0) return result;
  if (length < 2 || length > VANTOR_ROOM_ATR ||
      (buffer[0] != vantor::kAtrDirect && buffer[0] != vantor::kAtrInverse)) {
    return VANTOR_ERR_ATR;
  }
  std::memcpy(atr, buffer, static_cast<std::size_t>(length));
  *atrLength = length;
  return 0;
}

VANTOR_API int Dll7816CardPowerdown(int handle, int slot) {
  return Simple(handle, slot, cmd::kPowerDown, nullptr, 0);
}

VANTOR_API int Dll7816CardAPDU(int handle, int slot, unsigned char* apdu, int apduLength,
                               unsigned char* response, int* responseLength) {
  return Exchange(handle, slot, cmd::kApdu, apdu, apduLength, response, VANTOR_MAX_RESPONSE_DATA,
                  responseLength);
}

VANTOR_API int DllLedControl(int handle, unsigned char value) {
  return Simple(handle, 0, cmd::kLed, &value, 1);
}

VANTOR_API int DllSpeakerControl(int handle, unsigned char value) {
  return Simple(handle, 0, cmd::kBuzzer, &value, 1);
}

VANTOR_API int DllGetOfflineFileName(int handle, char* name, unsigned int* nameLength) {
  u8 response[kResponseBuffer];
  int length = 0;
  const int result = Exchange(handle, 0, cmd::kGetOfflineFileName, nullptr, 0, response,
                              VANTOR_ROOM_NAME, &length);
  if (result != 0) return result;
  if (length) std::memcpy(name, response, static_cast<std::size_t>(length));
  *nameLength = static_cast<unsigned int>(length);
  return 0;
}

VANTOR_API int DllSetOfflineFileName(int handle, char* name, unsigned int nameLength) {
  if (nameLength > VANTOR_MAX_NAME_LENGTH) return VANTOR_ERR_LENGTH;
  u8 request[kRequestBuffer] = {};
  if (nameLength) std::memcpy(request, name, nameLength);
  return Simple(handle, 0, cmd::kSetOfflineFileName, request, static_cast<int>(nameLength));
}

VANTOR_API int DllEraseOfflineData(int handle) {
  return Simple(handle, 0, cmd::kEraseOfflineData, nullptr, 0);
}

VANTOR_API int DllWriteOfflineData(int handle, unsigned char type, unsigned char* data,
                                   unsigned char length) {
  u8 request[kRequestBuffer] = {type, length};
  if (length) std::memcpy(request + 2, data, length);
  return Simple(handle, 0, cmd::kWriteOfflineRecord, request, length + 2);
}

VANTOR_API int DllGetFirmwareVersion(int handle, char* version, unsigned int* versionLength,
                                     unsigned int* trailer) {
  u8 response[kResponseBuffer];
  int length = 0;
  const int result =
      Exchange(handle, 0, cmd::kFirmwareVersion, nullptr, 0, response, sizeof response, &length);
  if (result != 0) return result;
  if (length < 2) return VANTOR_ERR_LENGTH;
  const unsigned int total = response[0] | (response[1] << 8);
  if (total < 4 || total > static_cast<unsigned int>(length)) {
    return VANTOR_ERR_LENGTH;
  }
  const unsigned int textLength = total - 4;
  if (textLength) std::memcpy(version, response + 2, textLength);
  *versionLength = textLength;
  *trailer = response[total - 2] | (response[total - 1] << 8);
  return 0;
}

VANTOR_API int DllDownloadFirmwareStart(int handle, unsigned char* data, int length) {
  return WithSettle(Simple(handle, 0, cmd::kFirmwareStart, data, length));
}

VANTOR_API int DllDownloadFirmwareFirst(int handle, unsigned char* data, int length) {
  return WithSettle(Simple(handle, 0, cmd::kFirmwareFirst, data, length));
}

VANTOR_API int DllDownloadFirmware(int handle, unsigned char* data, int length) {
  return Simple(handle, 0, cmd::kFirmwareBlock, data, length);
}

VANTOR_API int DllDownloadFirmwareComplete(int handle, unsigned char* data, int length) {
  if (length < 0 || length > VANTOR_MAX_COMPLETE_DATA) return VANTOR_ERR_LENGTH;
  u8 buffer[kResponseBuffer] = {};
  if (length) std::memcpy(buffer, data, static_cast<std::size_t>(length));
  return WithSettle(Simple(handle, 0, cmd::kFirmwareComplete, buffer, length));
}

}  // extern "C"
