/*
 * VantorTool reader interface: 22 plain C functions that find, open and
 * drive the reader (USB HID, vendor 0x0755, product 0x0001, version 0x0205).
 *
 * Conventions
 *  - Every function takes the reader handle returned by DllOpenReader.
 *    0 means "not open", -2 means "no reader found"; any other value is an
 *    open handle (on Linux the file descriptor of the hidraw node, on
 *    Windows the HANDLE) that its opener closes with DllCloseReader.
 *  - SKSendData / SKRevData return 1 on success and 0 on failure; every
 *    other function returns 0 on success. A failure is one of the negative
 *    VANTOR_ERR_* codes below or, when a report write or read failed, the
 *    positive OS error code (errno on Linux, GetLastError() on Windows).
 *  - Apart from DllListReaders, DllGetReaderSerial and DllGetErrorText, the functions take no
 *    buffer capacities. Each output buffer must have at least the room
 *    given in its comment (VANTOR_ROOM_*); an answer that would not fit is
 *    refused with VANTOR_ERR_LENGTH and nothing is written.
 *  - On every failure the caller's output arguments keep their contents.
 *  - No terminator is added to any byte string a reader command returns.
 *  - Threads: one handle is used by one thread at a time (one exchange,
 *    send + receive, at a time per handle); different handles may be used
 *    from different threads at once, so one program can drive several
 *    readers in parallel. The last transport error and the error text
 *    (DllGetErrorText) are kept per thread. Opening and closing a reader
 *    take the library's internal mutexes for a moment (the table of open
 *    emulated readers, the path of a reader found busy, on Windows the
 *    table of device claims); the exchanges with an open reader take none.
 *    An open reader is held against other programs and handles: flock on
 *    the hidraw node, a named mutex per device on Windows, a lock file
 *    beside an emulated reader's state file.
 *  - Several readers: each matching reader has a path (the hidraw node on
 *    Linux, the device interface path on Windows, the state file of an
 *    emulated reader). DllListReaders names them in search order;
 *    DllOpenReader opens the first one that opens, DllOpenReaderPath a
 *    given one; DllGetReaderSerial tells them apart by their USB serial
 *    number, which stays with the reader when it moves to another port.
 *    Entries of VANTOR_READER_SIM that name the same state file
 *    (a symbolic link and its target, a relative and an absolute path, the
 *    same path twice) are one reader, listed and opened once.
 *  - The library never writes to stdout or stderr: an emulated reader's
 *    reason for a failure is kept for DllGetErrorText.
 */
#ifndef VANTOR_READER_H
#define VANTOR_READER_H

#if defined(_WIN32)
#if defined(VANTOR_READER_BUILD)
#define VANTOR_API __declspec(dllexport)
#else
#define VANTOR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VANTOR_API __attribute__((visibility("default")))
#else
#define VANTOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reader identity. */
#define VANTOR_VENDOR_ID  0x0755
#define VANTOR_PRODUCT_ID 0x0001
#define VANTOR_VERSION    0x0205

/* Result codes. */
#define VANTOR_OK             0     /* command functions, DllCloseReader */
#define VANTOR_ERR_NO_READER  (-2)  /* DllOpenReader: no reader found */
#define VANTOR_ERR_CLOSE      (-4)  /* DllCloseReader: closing failed */
#define VANTOR_ERR_ATR        (-5)  /* answer to reset rejected */
#define VANTOR_ERR_STATUS_5_6 (-8)  /* reader status 5 or 6 */
#define VANTOR_ERR_STATUS_3   (-9)  /* reader status 3 */
#define VANTOR_ERR_STATUS_254 (-11) /* reader status 0xFE */
#define VANTOR_ERR_STATUS_4   (-13) /* reader status 4 */
#define VANTOR_ERR_CHECKSUM   (-14) /* reader status 1, or bad response checksum */
#define VANTOR_ERR_STATUS_8   (-20)
#define VANTOR_ERR_STATUS_9   (-21)
#define VANTOR_ERR_STATUS_10  (-22)
#define VANTOR_ERR_STATUS_11  (-24)
#define VANTOR_ERR_STATUS_12  (-25)
#define VANTOR_ERR_STATUS     (-30) /* any other non-zero reader status */
/* Data does not fit: command data over its limit (refused before anything
 * is written), a response announcing more than VANTOR_MAX_RESPONSE_DATA
 * bytes (its remaining reports are read and dropped), a response longer
 * than the function's buffer, or a version answer whose length field is
 * below 4 or runs past the data. */
#define VANTOR_ERR_LENGTH (-31)
#define VANTOR_ERR_BUSY   (-32) /* DllOpenReaderPath: another program holds the reader */

/* Limits and the room each output buffer needs. */
#define VANTOR_REPORT_SIZE       64
#define VANTOR_MAX_COMMAND_DATA  599 /* SKSendData, firmware and APDU data */
#define VANTOR_MAX_RESPONSE_DATA 594 /* SKRevData data, Dll7816CardAPDU response */
#define VANTOR_ROOM_ATR          33  /* DllReset7816Card atr */
#define VANTOR_ROOM_VERSION      276 /* DllGetFirmwareVersion version */
#define VANTOR_ROOM_NAME         280 /* DllGetOfflineFileName name */
#define VANTOR_MAX_NAME_LENGTH   261 /* DllSetOfflineFileName nameLength */
#define VANTOR_MAX_COMPLETE_DATA 280 /* DllDownloadFirmwareComplete length */
#define VANTOR_ROOM_SERIAL       379 /* DllGetReaderSerial serial: 126 UTF-16 units */

/* Offline-data record types. */
#define VANTOR_RECORD_START 0x02
#define VANTOR_RECORD_END   0x03
#define VANTOR_RECORD_RESET 0x10
#define VANTOR_RECORD_APDU  0x11

/* Each wait for an answer report is bounded by VANTOR_READ_TIMEOUT_MS from
 * the environment, a whole number of milliseconds from 1 to 3600000. When it
 * is unset, empty or anything else, the library uses its default of 10000
 * (long enough for a flash erase); it does not refuse the value, callers
 * that want to may check it themselves. */

/* Opening and closing. */
VANTOR_API int DllOpenReader(void);        /* handle, or -2 */
VANTOR_API int DllCloseReader(int handle); /* 0, or -4 */

/* The paths of the matching readers, in search order, each ending with
 * '\0', one after the other in buffer; returns how many there are. When
 * they do not fit in capacity bytes: VANTOR_ERR_LENGTH, nothing written.
 * With capacity 0, buffer may be NULL. */
VANTOR_API int DllListReaders(char* buffer, unsigned int capacity);
/* The USB serial number string of the reader at path (as DllListReaders
 * names it), as UTF-8 ending with '\0' in serial; returns its length
 * without the '\0', 0 when the reader has none (an emulated reader: the
 * "serial" of its state file). It needs capacity >= length + 1: otherwise
 * VANTOR_ERR_LENGTH and nothing written (VANTOR_ROOM_SERIAL is always
 * enough). VANTOR_ERR_NO_READER when no reader is listed at that path. */
VANTOR_API int DllGetReaderSerial(const char* path, char* serial, int capacity);
/* Opens the reader at path (as DllListReaders names it): a handle as from
 * DllOpenReader; VANTOR_ERR_NO_READER when no reader is attached at that
 * path or it cannot be opened, VANTOR_ERR_BUSY when another program (or
 * another open handle) holds it. */
VANTOR_API int DllOpenReaderPath(const char* path);
/* Why an emulated reader failed in the last DllOpenReader,
 * DllOpenReaderPath or DllCloseReader call of the calling thread, as one
 * line naming its state file, e.g. "state file /tmp/r.json: is not valid
 * JSON (error at byte 3)": a file it cannot read or use, a lock it cannot
 * take, a state it cannot write (DllCloseReader then returns -4). Each of
 * those calls starts without a text; one that skipped a broken reader and
 * opened the next keeps the text. Writes the text and a terminating '\0'
 * into buffer and returns its length without the terminator; when they do
 * not fit in capacity bytes: VANTOR_ERR_LENGTH, nothing written. Without a
 * text: 0, and "" written when capacity is at least 1 (with capacity 0,
 * buffer may be NULL: 0 means no text). Attached readers leave no text:
 * their failures are the OS error codes the functions return. */
VANTOR_API int DllGetErrorText(char* buffer, int capacity);

/* Framed transport. data may be NULL when length is 0; length 0..599.
 * SKRevData: slot and command are not used; data needs room for
 * VANTOR_MAX_RESPONSE_DATA bytes. */
VANTOR_API int SKSendData(int handle, int slot, unsigned char command, unsigned char* data,
                          int length);
VANTOR_API int SKRevData(int handle, int slot, unsigned char command, unsigned char* data,
                         int* length);

/* Card slot. */
VANTOR_API int DllReset7816Card(int handle, int slot, unsigned char* atr,
                                int* atrLength); /* atr: VANTOR_ROOM_ATR */
VANTOR_API int Dll7816CardPowerdown(int handle, int slot);
VANTOR_API int Dll7816CardAPDU(int handle, int slot, unsigned char* apdu, int apduLength,
                               unsigned char* response,
                               int* responseLength); /* VANTOR_MAX_RESPONSE_DATA */

/* Firmware channel. version: VANTOR_ROOM_VERSION. */
VANTOR_API int DllGetFirmwareVersion(int handle, char* version, unsigned int* versionLength,
                                     unsigned int* trailer);
VANTOR_API int DllDownloadFirmwareStart(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmwareFirst(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmware(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmwareComplete(int handle, unsigned char* data, int length);

/* LED and buzzer. */
VANTOR_API int DllLedControl(int handle, unsigned char value);
VANTOR_API int DllSpeakerControl(int handle, unsigned char value);

/* Offline-data store. name: VANTOR_ROOM_NAME. */
VANTOR_API int DllGetOfflineFileName(int handle, char* name, unsigned int* nameLength);
VANTOR_API int DllSetOfflineFileName(int handle, char* name, unsigned int nameLength);
VANTOR_API int DllEraseOfflineData(int handle);
VANTOR_API int DllWriteOfflineData(int handle, unsigned char type, unsigned char* data,
                                   unsigned char length);

#ifdef __cplusplus
}
#endif

#endif /* VANTOR_READER_H */
