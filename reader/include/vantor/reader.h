/*
 * VantorTool reader interface: 22 plain C functions that find, open and
 * drive the reader (USB HID, vendor 0x0755, product 0x0001, version 0x0205).
 *
 * Conventions
 *  - Handles: DllOpenReader and DllOpenReaderPath return a handle, every
 *    command function takes one, DllCloseReader ends it. 0 means "not
 *    open", -2 "no reader found", -32 "held by another"; any other value
 *    is an open handle (on Linux the file descriptor of the hidraw node, on
 *    Windows the HANDLE, for an emulated reader the descriptor of its
 *    socket or pipe). A handle is valid from the open that returned it to
 *    its DllCloseReader. A value that is no open handle of this library
 *    (0, a closed handle, a descriptor or HANDLE opened elsewhere) is
 *    refused and left alone: a command fails with EBADF (Windows:
 *    ERROR_INVALID_HANDLE), DllCloseReader with VANTOR_ERR_CLOSE.
 *  - Results: SKSendData / SKRevData return 1 on success and 0 on failure;
 *    every other function returns 0 on success (the listing functions and
 *    DllGetErrorText a count or length, the open functions a handle).
 *  - The exchange errors: each command function sends one command frame and
 *    reads one answer frame, and fails with
 *      a positive OS error code when a report write or read failed (errno
 *      on Linux, ETIMEDOUT when no answer report came within the read
 *      time-out; GetLastError() on Windows, WAIT_TIMEOUT 258 for the
 *      time-out); the exchange stops where it is, and the handle stays
 *      open;
 *      the reader's status byte mapped to VANTOR_ERR_CHECKSUM (-14) and
 *      VANTOR_ERR_STATUS_* (-8, -9, -11, -13, -20, -21, -22, -24, -25, -30);
 *      VANTOR_ERR_CHECKSUM for an answer whose checksum is wrong;
 *      VANTOR_ERR_LENGTH (-31) for command data over its limit (nothing is
 *      sent then) or an answer longer than the function's buffer.
 *    Each function's comment names what it adds to these.
 *  - Buffers: apart from DllListReaders, DllGetReaderSerial and
 *    DllGetErrorText, the functions take no buffer capacities. Each output
 *    buffer must have at least the room its function gives (VANTOR_ROOM_*,
 *    VANTOR_MAX_RESPONSE_DATA); an answer that would not fit is refused
 *    with VANTOR_ERR_LENGTH and nothing is written. An input buffer may be
 *    NULL when its length is 0; output pointers must not be NULL unless a
 *    function says so.
 *  - On every failure the caller's output arguments keep their contents.
 *  - No terminator is added to any byte string a reader command returns.
 *  - Threads: one handle is used by one thread at a time (one exchange,
 *    send + receive, at a time per handle, and its DllCloseReader not
 *    during an exchange); different handles may be used from different
 *    threads at once, so one program can drive several readers in
 *    parallel. DllOpenReader, DllOpenReaderPath, DllListReaders,
 *    DllGetReaderSerial and DllGetErrorText may be called from any thread
 *    at any time. Between calls the library keeps each thread's last
 *    transport error and error text (DllGetErrorText), the reader that
 *    the last failed DllOpenReader found held, and which handles are open.
 *  - Locks: the library guards those tables (the open handles with
 *    their io, the reader found held) with mutexes of its own, each held
 *    only to read or change an entry: never while it waits for a reader,
 *    reads or writes a report, or runs code of the caller. An open reader
 *    is held against other programs and other handles: on Linux by
 *    flock(LOCK_EX | LOCK_NB) on the hidraw node, on Windows by a named
 *    mutex derived from the device path, for an emulated reader by flock
 *    (Windows: an unshared open) of the lock file STATE.lock beside its
 *    state file. These are tried, never waited for: a reader held
 *    elsewhere fails the open at once. So no call blocks on a lock a
 *    caller holds, and a caller's own locks cannot deadlock with the
 *    library's.
 *  - Environment: VANTOR_READER_SIM (the emulated readers' state files,
 *    or folders whose regular *.json files are one reader each) is
 *    read by each call that finds, lists or opens readers, and
 *    VANTOR_READ_TIMEOUT_MS by each wait for an answer report; a program
 *    that changes them does so while no other thread is in the library.
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

/* ---- Opening and closing ---------------------------------------------- */

/* Opens the first matching reader that opens and holds it for this handle:
 * with VANTOR_READER_SIM set its emulated readers in the order given, a
 * folder's by name (the attached readers are not looked at then), else the
 * attached readers in search order.
 * Returns: the handle; VANTOR_ERR_NO_READER (-2) when no reader opens
 * (none attached, all held by other programs or handles, or out of
 * memory). Never blocks on a held reader.
 * Clears this thread's error text first; an emulated reader that could not
 * be used leaves its reason (DllGetErrorText), also when a later one
 * opened. Any thread. */
VANTOR_API int DllOpenReader(void);

/* Ends handle: releases the reader's hold and closes the OS handle; an
 * emulated reader first finishes and writes its state file.
 * Returns: VANTOR_OK (0); VANTOR_ERR_CLOSE (-4) when the OS close failed
 * (e.g. handle was not open: nothing is closed then) or the emulated reader's state could not be
 * written (the reason then in DllGetErrorText).
 * The handle is gone after the call whatever it returns: do not close it
 * again. Clears this thread's error text first. Not while another thread
 * uses the same handle. */
VANTOR_API int DllCloseReader(int handle);

/* The paths of the matching readers, in search order, each ending with
 * '\0', one after the other in buffer (capacity bytes; NULL allowed with
 * capacity 0). Opens no reader, so held readers are listed too.
 * Returns: how many there are (0 when none, or out of memory);
 * VANTOR_ERR_LENGTH (-31) when they do not fit (buffer untouched): a call
 * with capacity 0 returning 0 means none, -31 means some. Any thread. */
VANTOR_API int DllListReaders(char* buffer, unsigned int capacity);

/* The USB serial number string of the reader at path (as DllListReaders
 * names it; on Windows compared without regard to case), written with a
 * '\0' into serial as UTF-8. An emulated reader gives the "serial" of its
 * state file. Opens no reader.
 * capacity: at least the length + 1; VANTOR_ROOM_SERIAL is always enough.
 * Returns: the length without the '\0' (0: the reader has none);
 * VANTOR_ERR_NO_READER (-2) when path is NULL, empty or no listed reader's
 * (or out of memory); VANTOR_ERR_LENGTH (-31) when serial is NULL or
 * capacity is too small (serial untouched). Any thread. */
VANTOR_API int DllGetReaderSerial(const char* path, char* serial, int capacity);

/* Opens the reader at path and holds it for this handle. path as
 * DllListReaders names it; with VANTOR_READER_SIM set, one of its entries
 * exactly as written there, or a state file in a folder it names as
 * DllListReaders names it (FOLDER/NAME.json).
 * Returns: a handle as from DllOpenReader; VANTOR_ERR_NO_READER (-2) when
 * path is NULL or empty, no reader is attached there or it cannot be
 * opened; VANTOR_ERR_BUSY (-32) when another program or another open
 * handle holds it (at once, without waiting).
 * Clears this thread's error text first; an emulated reader that cannot be
 * used leaves its reason. Any thread. */
VANTOR_API int DllOpenReaderPath(const char* path);

/* Why an emulated reader failed in the last DllOpenReader,
 * DllOpenReaderPath or DllCloseReader call of the calling thread, as one
 * line naming its state file, e.g. "state file /tmp/r.json: is not valid
 * JSON (error at byte 3)": a file it cannot read or use, a lock it cannot
 * take, a state it cannot write (DllCloseReader then returns -4). Each of
 * those calls starts without a text; one that skipped a broken reader and
 * opened the next keeps the text. Attached readers leave no text: their
 * failures are the OS error codes the functions return.
 * buffer: capacity bytes; NULL allowed with capacity 0.
 * Returns: the text's length without the '\0' it writes after it; 0 when
 * there is none ("" written when capacity is at least 1; with capacity 0,
 * 0 means no text); VANTOR_ERR_LENGTH (-31) when the text and its '\0' do
 * not fit, or no memory for a copy (buffer untouched). Reads only the
 * calling thread's text: any thread. */
VANTOR_API int DllGetErrorText(char* buffer, int capacity);

/* ---- Framed transport -------------------------------------------------- */

/* Sends one command frame: slot (its low 8 bits), command and length bytes
 * of data (0..VANTOR_MAX_COMMAND_DATA; NULL allowed with 0), cut into
 * VANTOR_REPORT_SIZE-byte reports. Reads no answer: SKRevData does.
 * Returns: 1 on success; 0 when length is out of range (nothing sent) or a
 * report write failed (the reports before it were sent). */
VANTOR_API int SKSendData(int handle, int slot, unsigned char command, unsigned char* data,
                          int length);

/* Receives one answer frame: its data into data (room for
 * VANTOR_MAX_RESPONSE_DATA bytes), its byte count into *length. slot and
 * command are not used.
 * Returns: 1 on success; 0 when a report read failed or timed out, the
 * reader's status byte is not 0, the checksum is wrong, or the frame
 * announces more than VANTOR_MAX_RESPONSE_DATA bytes (its remaining
 * reports are read and dropped). data and *length are untouched on 0. */
VANTOR_API int SKRevData(int handle, int slot, unsigned char command, unsigned char* data,
                         int* length);

/* ---- Card slot --------------------------------------------------------- */

/* Powers up the card in slot and reads its answer to reset into atr (room
 * for VANTOR_ROOM_ATR bytes), its length (2..33) into *atrLength.
 * Returns: 0; the exchange errors; VANTOR_ERR_ATR (-5) when the answer is
 * shorter than 2 or longer than 33 bytes, or does not start with 0x3B or
 * 0x3F (atr untouched). */
VANTOR_API int DllReset7816Card(int handle, int slot, unsigned char* atr, int* atrLength);

/* Powers down the card in slot.
 * Returns: 0; the exchange errors. */
VANTOR_API int Dll7816CardPowerdown(int handle, int slot);

/* Sends apduLength bytes of apdu (0..VANTOR_MAX_COMMAND_DATA) to the card
 * in slot; its response goes to response (room for
 * VANTOR_MAX_RESPONSE_DATA bytes), its length to *responseLength.
 * Returns: 0; the exchange errors (VANTOR_ERR_LENGTH before anything is
 * sent for apduLength out of range). */
VANTOR_API int Dll7816CardAPDU(int handle, int slot, unsigned char* apdu, int apduLength,
                               unsigned char* response, int* responseLength);

/* ---- Firmware channel -------------------------------------------------- */

/* The firmware version text into version (room for VANTOR_ROOM_VERSION
 * bytes; no terminator), its length into *versionLength, the two bytes
 * after it (little-endian) into *trailer.
 * Returns: 0; the exchange errors; VANTOR_ERR_LENGTH also for an answer
 * shorter than 2 bytes or whose length field is below 4 or runs past the
 * data (outputs untouched). */
VANTOR_API int DllGetFirmwareVersion(int handle, char* version, unsigned int* versionLength,
                                     unsigned int* trailer);

/* The firmware download's commands, each one exchange sending length bytes
 * of data as given (0..VANTOR_MAX_COMMAND_DATA, for Complete
 * 0..VANTOR_MAX_COMPLETE_DATA; NULL allowed with 0). Start, First and
 * Complete wait 800 ms after a success, for the reader to settle, before
 * they return.
 * Returns: 0; the exchange errors (VANTOR_ERR_LENGTH before anything is
 * sent for length out of range). */
VANTOR_API int DllDownloadFirmwareStart(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmwareFirst(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmware(int handle, unsigned char* data, int length);
VANTOR_API int DllDownloadFirmwareComplete(int handle, unsigned char* data, int length);

/* ---- LED and buzzer ---------------------------------------------------- */

/* Sends value, one byte, to the LED or the buzzer.
 * Returns: 0; the exchange errors. */
VANTOR_API int DllLedControl(int handle, unsigned char value);
VANTOR_API int DllSpeakerControl(int handle, unsigned char value);

/* ---- Offline-data store ------------------------------------------------ */

/* The name of the stored offline-data file into name (room for
 * VANTOR_ROOM_NAME bytes; no terminator), its length into *nameLength
 * (0: no file).
 * Returns: 0; the exchange errors. */
VANTOR_API int DllGetOfflineFileName(int handle, char* name, unsigned int* nameLength);

/* Sets that name: nameLength bytes of name (0..VANTOR_MAX_NAME_LENGTH;
 * NULL allowed with 0).
 * Returns: 0; the exchange errors (VANTOR_ERR_LENGTH before anything is
 * sent for nameLength over the limit). */
VANTOR_API int DllSetOfflineFileName(int handle, char* name, unsigned int nameLength);

/* Erases the offline-data store. The answer comes when the flash is
 * erased, which the default read time-out allows for.
 * Returns: 0; the exchange errors. */
VANTOR_API int DllEraseOfflineData(int handle);

/* Appends one record: type (VANTOR_RECORD_*) and length bytes of data
 * (0..255; NULL allowed with 0).
 * Returns: 0; the exchange errors. */
VANTOR_API int DllWriteOfflineData(int handle, unsigned char type, unsigned char* data,
                                   unsigned char length);

#ifdef __cplusplus
}
#endif

#endif /* VANTOR_READER_H */
